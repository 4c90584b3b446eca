# The browser globe's folders. The page (web/globe) and CesiumJS's
# Build/Cesium folder are looked for where these name, unless NIVRA_GLOBE_DIR
# or NIVRA_CESIUM_DIR in the environment name others. scripts/setup installs
# CesiumJS into .deps/; an installed nivra finds its page in the data folder
# and CesiumJS where NIVRA_CESIUM_DIR names (docs/globe.md).
set(NIVRA_GLOBE_DIR ${CMAKE_SOURCE_DIR}/web/globe CACHE PATH "The browser globe's page folder")
set(NIVRA_CESIUM_DIR ${CMAKE_SOURCE_DIR}/.deps/npm/node_modules/cesium/Build/Cesium
    CACHE PATH "CesiumJS's Build/Cesium folder for the browser globe")
set_property(SOURCE ${CMAKE_SOURCE_DIR}/earth/globe.cpp APPEND PROPERTY COMPILE_DEFINITIONS
  NIVRA_GLOBE_DIR="${NIVRA_GLOBE_DIR}" NIVRA_CESIUM_DIR="${NIVRA_CESIUM_DIR}")

# The page is installed with the program; CesiumJS is not (it is looked for
# where NIVRA_CESIUM_DIR names; docs/globe.md says how to put it there).
include(GNUInstallDirs)
install(FILES ${CMAKE_SOURCE_DIR}/web/globe/index.html ${CMAKE_SOURCE_DIR}/web/globe/globe.js
              ${CMAKE_SOURCE_DIR}/web/globe/globe.css
        DESTINATION ${CMAKE_INSTALL_DATADIR}/nivra/globe)
