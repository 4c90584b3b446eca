# The nivra program. The Qt front end lives in app/ui/ with a ui.cmake of its
# own that builds the window program nivra-window (which nivra starts when the
# window is wanted, see app/windowProgram.h) and defines NIVRA_WINDOW_PROGRAM
# for nivra. Without it, or with -DNIVRA_UI=OFF, the program runs headless only.
add_executable(nivra ${CMAKE_SOURCE_DIR}/app/main.cpp)
target_link_libraries(nivra PRIVATE nivracore)
if(NIVRA_UI AND EXISTS ${CMAKE_SOURCE_DIR}/app/ui/ui.cmake)
  include(${CMAKE_SOURCE_DIR}/app/ui/ui.cmake)
endif()
