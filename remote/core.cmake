# The HTTPS client: libcurl with OpenSSL, loaded on first use
# (remote/tlsLibraries.*). Only their headers are needed to build; nothing is
# linked, so a start that never makes an HTTPS request never loads them.
find_package(CURL REQUIRED)
find_package(OpenSSL REQUIRED)
target_include_directories(nivra_remote PRIVATE ${CURL_INCLUDE_DIRS} ${OPENSSL_INCLUDE_DIR})
target_link_libraries(nivra_remote PUBLIC ${CMAKE_DL_LIBS})
