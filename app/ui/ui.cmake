# The Qt front end: the static library nivraui with the main window, tray
# icon, about box and the Qt UI services, and the window program
# nivra-window built from it, which `nivra` starts when the window is wanted
# (app/windowProgram.h). `nivra` itself never links Qt. Without Qt the
# program is built headless only.
find_package(Qt6 QUIET COMPONENTS Widgets)
if(NOT Qt6Widgets_FOUND)
  message(STATUS "Qt 6 Widgets not found: nivra is built without its window")
  return()
endif()

file(GLOB NIVRA_UI_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/app/ui/*.cpp)
add_library(nivraui STATIC ${NIVRA_UI_SOURCES} ${CMAKE_SOURCE_DIR}/app/ui/nivra.qrc)
set_target_properties(nivraui PROPERTIES AUTORCC ON)
target_link_libraries(nivraui PUBLIC nivracore Qt6::Widgets)

add_executable(nivra-window ${CMAKE_SOURCE_DIR}/app/main.cpp)
target_link_libraries(nivra-window PRIVATE nivraui)
target_compile_definitions(nivra-window PRIVATE NIVRA_QT_UI)
target_compile_definitions(nivra PRIVATE NIVRA_WINDOW_PROGRAM)
# Building nivra gives a program whose window works.
add_dependencies(nivra nivra-window)
