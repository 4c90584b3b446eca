# Installing nivra like any Linux program (cmake --install, or the Debian
# packages that scripts/package builds with CPack). Three parts, one package
# each:
#   program  nivra: the program (no Qt), its manual page, the systemd user
#            unit, the globe's page and the documentation
#   window   nivra-window: the window program with its desktop entry, icon
#            and AppStream metadata (Qt)
#   globe    nivra-globe: CesiumJS for the globe's page (earth/core.cmake),
#            when this build has it
# Everything installed here exists after building the nivra target (which
# builds the window program too): the generated files are made when the
# build is configured, so `cmake --install` works after any build of it.
include(GNUInstallDirs)

set(NIVRA_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(NIVRA_GENERATED_DIR ${CMAKE_BINARY_DIR}/packaging)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME program)
# Where each package's copyright and changelog live.
set(NIVRA_DOC_ROOT ${CMAKE_INSTALL_DATADIR}/doc)

# Who hands the packages out, and where the project lives on the web. The
# build of a release names them (-DNIVRA_MAINTAINER=..., -DNIVRA_HOMEPAGE=...).
set(NIVRA_MAINTAINER "Nivra developers <nivra@example.org>"
    CACHE STRING "The packages' maintainer, \"Name <address>\"")
set(NIVRA_HOMEPAGE "" CACHE STRING "The project's web site (none when empty)")
# The date of the changelog's newest entry (packaging/changelog.in).
set(NIVRA_RELEASE_DATE 2026-12-08)
# Software centres know the window by a reverse domain name: the maintainer's
# domain, reversed, then "nivra" (example.org gives org.example.nivra).
string(REGEX MATCH "@([A-Za-z0-9.-]+)>" _ "${NIVRA_MAINTAINER}")
string(REPLACE "." ";" _labels "${CMAKE_MATCH_1}")
list(REVERSE _labels)
list(JOIN _labels "." NIVRA_APPSTREAM_ID)
string(TOLOWER "${NIVRA_APPSTREAM_ID}.nivra" NIVRA_APPSTREAM_ID)
set(NIVRA_APPSTREAM_URL "")
if(NIVRA_HOMEPAGE)
  set(NIVRA_APPSTREAM_URL "\n  <url type=\"homepage\">${NIVRA_HOMEPAGE}</url>")
endif()

if(TARGET nivra)
  install(TARGETS nivra RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
endif()
# The window program that nivra starts; app/core.cmake tells nivra this place.
if(TARGET nivra-window)
  install(TARGETS nivra-window RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/nivra
          COMPONENT window)
endif()

# An installed copy is on PATH, so the menu starts it by name.
set(NIVRA_EXEC nivra)
configure_file(${NIVRA_PACKAGING_DIR}/nivra.desktop.in ${NIVRA_GENERATED_DIR}/nivra.desktop @ONLY)
configure_file(${NIVRA_PACKAGING_DIR}/nivra.metainfo.xml.in
               ${NIVRA_GENERATED_DIR}/nivra.metainfo.xml @ONLY)
if(TARGET nivra-window)
  install(FILES ${NIVRA_GENERATED_DIR}/nivra.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
          COMPONENT window)
  install(FILES ${CMAKE_SOURCE_DIR}/app/ui/icon/nivra.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT window)
  install(FILES ${NIVRA_GENERATED_DIR}/nivra.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
          RENAME ${NIVRA_APPSTREAM_ID}.metainfo.xml COMPONENT window)
endif()

configure_file(${NIVRA_PACKAGING_DIR}/nivra.service.in ${NIVRA_GENERATED_DIR}/nivra.service @ONLY)
install(FILES ${NIVRA_GENERATED_DIR}/nivra.service DESTINATION lib/systemd/user COMPONENT program)

# The manual page and the changelog, compressed as Debian wants them (gzip -n:
# the same bytes on every build).
set(NIVRA_VERSION ${PROJECT_VERSION})
configure_file(${CMAKE_SOURCE_DIR}/docs/nivra.1 ${NIVRA_GENERATED_DIR}/nivra.1 @ONLY)
configure_file(${NIVRA_PACKAGING_DIR}/changelog.in ${NIVRA_GENERATED_DIR}/changelog @ONLY)
find_program(NIVRA_GZIP gzip REQUIRED)
foreach(name nivra.1 changelog)
  execute_process(COMMAND ${NIVRA_GZIP} -9nf -k ${NIVRA_GENERATED_DIR}/${name}
                  RESULT_VARIABLE _gzip_status)
  if(NOT _gzip_status EQUAL 0)
    message(FATAL_ERROR "gzip could not compress ${NIVRA_GENERATED_DIR}/${name}")
  endif()
endforeach()
install(FILES ${NIVRA_GENERATED_DIR}/nivra.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT program)

file(GLOB NIVRA_DOC_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md ${CMAKE_SOURCE_DIR}/docs/*.png)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${NIVRA_DOC_FILES}
        DESTINATION ${NIVRA_DOC_ROOT}/nivra COMPONENT program)
# Each package carries its copyright file and the changelog.
install(FILES ${NIVRA_PACKAGING_DIR}/copyright ${NIVRA_GENERATED_DIR}/changelog.gz
        DESTINATION ${NIVRA_DOC_ROOT}/nivra COMPONENT program)
# What lintian says of a package that is so on purpose, each with its reason.
if(TARGET nivra-window)
  install(FILES ${NIVRA_PACKAGING_DIR}/copyright ${NIVRA_GENERATED_DIR}/changelog.gz
          DESTINATION ${NIVRA_DOC_ROOT}/nivra-window COMPONENT window)
  install(FILES ${NIVRA_PACKAGING_DIR}/lintian/nivra-window
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT window)
endif()
if(NIVRA_HAVE_CESIUM)
  install(FILES ${NIVRA_PACKAGING_DIR}/lintian/nivra-globe
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT globe)
  install(FILES ${NIVRA_PACKAGING_DIR}/copyright-globe DESTINATION ${NIVRA_DOC_ROOT}/nivra-globe
          RENAME copyright COMPONENT globe)
  install(FILES ${NIVRA_GENERATED_DIR}/changelog.gz DESTINATION ${NIVRA_DOC_ROOT}/nivra-globe
          COMPONENT globe)
endif()

# The Debian packages, one per part.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL program)
if(TARGET nivra-window)
  list(APPEND CPACK_COMPONENTS_ALL window)
endif()
if(NIVRA_HAVE_CESIUM)
  list(APPEND CPACK_COMPONENTS_ALL globe)
endif()
set(CPACK_PACKAGE_NAME nivra)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Nivra developers")
set(CPACK_PACKAGE_CONTACT "${NIVRA_MAINTAINER}")
if(NIVRA_HOMEPAGE)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${NIVRA_HOMEPAGE}")
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME nivra)
set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME nivra-window)
set(CPACK_DEBIAN_GLOBE_PACKAGE_NAME nivra-globe)
set(CPACK_DEBIAN_WINDOW_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "nivra (= ${PROJECT_VERSION})")
# The HTTPS client loads libcurl and its OpenSSL on first use, where the
# package tools do not see them; the libraries the program links are added
# to these by dpkg-shlibdeps. 7.85 brought the protocol lists by name.
set(CPACK_DEBIAN_PROGRAM_PACKAGE_DEPENDS "libcurl4 (>= 7.85.0), libssl3")
set(CPACK_DEBIAN_GLOBE_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_GLOBE_PACKAGE_SECTION web)
set(CPACK_DEBIAN_GLOBE_PACKAGE_ENHANCES nivra)
if(NIVRA_HAVE_CESIUM)
  set(CPACK_DEBIAN_PROGRAM_PACKAGE_RECOMMENDS nivra-globe)
endif()
if(TARGET nivra-window)
  set(CPACK_DEBIAN_PROGRAM_PACKAGE_SUGGESTS nivra-window)
endif()

# The first line is the synopsis, the rest the long description (CPack
# indents its lines and turns an empty line into the paragraph mark).
set(NIVRA_ABOUT
"Nivra reads NMEA 0183 from a GPS receiver (serial port or gpsd), from
recorded logs, from built-in demo trips or from hardware trackers that post
over TCP, keeps a track for every vehicle and shows the tracks live in Google
Earth through a KML network link that its own HTTP listener answers, and on
a 3D globe in any web browser.")
set(CPACK_DEBIAN_PROGRAM_DESCRIPTION
"live GPS tracker that shows vehicles in Google Earth
${NIVRA_ABOUT}

It follows other copies of the program and GpsGate, Mologogo and MapFactor
accounts, publishes the tracks to an FTP server, records and plays back NMEA
logs, and runs headless, also as a systemd user service. This package holds
the program without its window; nivra-window adds the window.")
set(CPACK_DEBIAN_WINDOW_DESCRIPTION
"live GPS tracker that shows vehicles in Google Earth (window)
${NIVRA_ABOUT}

This package holds the Qt window that nivra opens on a desktop, its menu
entry and icon.")
set(CPACK_DEBIAN_GLOBE_DESCRIPTION
"CesiumJS for the 3D globe of the Nivra GPS tracker
${NIVRA_ABOUT}

This package holds the files of CesiumJS that Nivra's globe page loads
from Nivra's own listener, with its offline world imagery.")
include(CPack)
