# The version the program reports (--version, the about box, headless banner).
target_compile_definitions(nivra_app PUBLIC NIVRA_VERSION="${PROJECT_VERSION}")

# The desktop entry and icon that --register writes are the files the install
# puts in place: both come from packaging/nivra.desktop.in and
# app/ui/icon/nivra.svg, embedded here as text.
file(READ ${CMAKE_SOURCE_DIR}/packaging/nivra.desktop.in NIVRA_DESKTOP_TEMPLATE)
file(READ ${CMAKE_SOURCE_DIR}/app/ui/icon/nivra.svg NIVRA_ICON_SVG)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/packaging/nivra.desktop.in ${CMAKE_SOURCE_DIR}/app/ui/icon/nivra.svg)
configure_file(${CMAKE_SOURCE_DIR}/app/desktopFiles.h.in
  ${CMAKE_BINARY_DIR}/generated/app/desktopFiles.h @ONLY)
set_source_files_properties(${CMAKE_SOURCE_DIR}/app/desktopEntry.cpp PROPERTIES
  INCLUDE_DIRECTORIES ${CMAKE_BINARY_DIR}/generated)

# Where the installation puts the window program, seen from the program's
# own directory (app/windowProgram.cpp looks there after its own directory).
include(GNUInstallDirs)
file(RELATIVE_PATH NIVRA_WINDOW_INSTALLED ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_FULL_LIBEXECDIR}/nivra/nivra-window)
set_source_files_properties(${CMAKE_SOURCE_DIR}/app/windowProgram.cpp PROPERTIES
  COMPILE_DEFINITIONS NIVRA_WINDOW_INSTALLED="${NIVRA_WINDOW_INSTALLED}")
