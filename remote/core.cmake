# The HTTPS client: libcurl with OpenSSL, and OpenSSL itself for choosing
# client certificates.
find_package(CURL REQUIRED)
find_package(OpenSSL REQUIRED)
target_link_libraries(nivra_remote PUBLIC CURL::libcurl OpenSSL::SSL OpenSSL::Crypto)
