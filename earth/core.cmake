# The browser globe's folders. The page (web/globe) and CesiumJS's
# Build/Cesium folder are looked for where these name, unless NIVRA_GLOBE_DIR
# or NIVRA_CESIUM_DIR in the environment name others, or the program runs
# installed: then it takes the copies installed beside it (nivra/globe and
# nivra/cesium in the data folder, found from its own bin folder).
# scripts/setup installs CesiumJS into .deps/ (docs/globe.md).
set(NIVRA_GLOBE_DIR ${CMAKE_SOURCE_DIR}/web/globe CACHE PATH "The browser globe's page folder")
set(NIVRA_CESIUM_DIR ${CMAKE_SOURCE_DIR}/.deps/npm/node_modules/cesium/Build/Cesium
    CACHE PATH "CesiumJS's Build/Cesium folder for the browser globe")
# The CesiumJS that the install copies (by default the one the build uses;
# a package build names the source tree's copy here and the installed folder
# in NIVRA_CESIUM_DIR).
set(NIVRA_CESIUM_SOURCE ${NIVRA_CESIUM_DIR} CACHE PATH "The CesiumJS Build/Cesium folder to install")
# What the page, the log and stderr tell the user to do when CesiumJS is
# missing: one fix, the one that suits how this build is handed out.
set(NIVRA_CESIUM_FIX "run scripts/setup in Nivra's source folder (and install again)"
    CACHE STRING "How a user of this build puts CesiumJS in place")
include(GNUInstallDirs)
file(RELATIVE_PATH NIVRA_DATA_FROM_BIN ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_DATADIR})
set_property(SOURCE ${CMAKE_SOURCE_DIR}/earth/globe.cpp APPEND PROPERTY COMPILE_DEFINITIONS
  NIVRA_GLOBE_DIR="${NIVRA_GLOBE_DIR}" NIVRA_CESIUM_DIR="${NIVRA_CESIUM_DIR}"
  NIVRA_DATA_FROM_BIN="${NIVRA_DATA_FROM_BIN}" NIVRA_CESIUM_FIX="${NIVRA_CESIUM_FIX}")

# The page goes with the program (package nivra). CesiumJS, when this build
# has it, goes into nivra/cesium of the data folder (package nivra-globe):
# the files the page loads, not the bundles for Node.
install(FILES ${CMAKE_SOURCE_DIR}/web/globe/index.html ${CMAKE_SOURCE_DIR}/web/globe/globe.js
              ${CMAKE_SOURCE_DIR}/web/globe/globe.css
        DESTINATION ${CMAKE_INSTALL_DATADIR}/nivra/globe COMPONENT program)
if(EXISTS ${NIVRA_CESIUM_SOURCE}/Cesium.js)
  install(FILES ${NIVRA_CESIUM_SOURCE}/Cesium.js DESTINATION ${CMAKE_INSTALL_DATADIR}/nivra/cesium
          COMPONENT globe)
  install(DIRECTORY ${NIVRA_CESIUM_SOURCE}/Assets ${NIVRA_CESIUM_SOURCE}/ThirdParty
                    ${NIVRA_CESIUM_SOURCE}/Widgets ${NIVRA_CESIUM_SOURCE}/Workers
          DESTINATION ${CMAKE_INSTALL_DATADIR}/nivra/cesium COMPONENT globe)
  set(NIVRA_HAVE_CESIUM ON CACHE INTERNAL "CesiumJS is installed with the program")
else()
  message(STATUS "CesiumJS not found in ${NIVRA_CESIUM_SOURCE}: the globe page is installed without it")
  set(NIVRA_HAVE_CESIUM OFF CACHE INTERNAL "CesiumJS is installed with the program")
endif()
