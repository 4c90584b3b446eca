# The QR code of a phone's setup URL.
find_package(PkgConfig REQUIRED)
pkg_check_modules(QRENCODE REQUIRED IMPORTED_TARGET libqrencode)
target_link_libraries(nivra_phones PUBLIC PkgConfig::QRENCODE)
