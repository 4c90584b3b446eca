# Installing nivra like any Linux program (cmake --install, or the Debian
# package that scripts/package builds with CPack): the program, its desktop
# entry and icon (the ones --register writes, from the same sources), the
# documentation, the manual page and a systemd user unit for headless use.
include(GNUInstallDirs)

set(NIVRA_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(NIVRA_GENERATED_DIR ${CMAKE_BINARY_DIR}/packaging)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(TARGET nivra)
  install(TARGETS nivra RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
# The window program that nivra starts; app/core.cmake tells nivra this place.
if(TARGET nivra-window)
  install(TARGETS nivra-window RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/nivra)
endif()

# An installed copy is on PATH, so the menu starts it by name.
set(NIVRA_EXEC nivra)
configure_file(${NIVRA_PACKAGING_DIR}/nivra.desktop.in ${NIVRA_GENERATED_DIR}/nivra.desktop @ONLY)
install(FILES ${NIVRA_GENERATED_DIR}/nivra.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/app/ui/icon/nivra.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

configure_file(${NIVRA_PACKAGING_DIR}/nivra.service.in ${NIVRA_GENERATED_DIR}/nivra.service @ONLY)
install(FILES ${NIVRA_GENERATED_DIR}/nivra.service DESTINATION lib/systemd/user)

# The manual page and the changelog, compressed as Debian wants them.
configure_file(${CMAKE_SOURCE_DIR}/docs/nivra.1 ${NIVRA_GENERATED_DIR}/nivra.1 @ONLY)
configure_file(${NIVRA_PACKAGING_DIR}/changelog.in ${NIVRA_GENERATED_DIR}/changelog @ONLY)
find_program(NIVRA_GZIP gzip REQUIRED)
foreach(name nivra.1 changelog)
  add_custom_command(OUTPUT ${NIVRA_GENERATED_DIR}/${name}.gz
    COMMAND ${NIVRA_GZIP} -9nf -k ${NIVRA_GENERATED_DIR}/${name}
    DEPENDS ${NIVRA_GENERATED_DIR}/${name} VERBATIM)
endforeach()
add_custom_target(nivra_install_files ALL
  DEPENDS ${NIVRA_GENERATED_DIR}/nivra.1.gz ${NIVRA_GENERATED_DIR}/changelog.gz)
install(FILES ${NIVRA_GENERATED_DIR}/nivra.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

file(GLOB NIVRA_DOC_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md ${CMAKE_SOURCE_DIR}/docs/*.png)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${NIVRA_DOC_FILES} ${NIVRA_PACKAGING_DIR}/copyright
              ${NIVRA_GENERATED_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nivra)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Nivra developers")
set(CPACK_PACKAGE_CONTACT "Nivra developers <nivra@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "live GPS tracker that shows vehicles in Google Earth")
# CPack puts the summary in front of this as the synopsis line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Nivra reads NMEA 0183 from a GPS receiver (serial port or gpsd), from
recorded logs, from built-in demo trips or from hardware trackers that post
over TCP, keeps a track for every vehicle and shows the tracks live in Google
Earth through a KML network link that its own HTTP listener answers.
.
It follows other copies of the program and GpsGate, Mologogo and MapFactor
accounts, publishes the tracks to an FTP server, records and plays back NMEA
logs, and runs with a Qt window or headless as a systemd user service.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
