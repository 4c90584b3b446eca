// The nivra programs. Built as `nivra` it starts the window program when the
// window is wanted (app/windowProgram.h) and does everything else itself
// without loading Qt; built as `nivra-window` (with the Qt front end) it runs
// the window. Either runs headless when no display is there (app/testApp.h).
#include "app/testApp.h"

#if defined(NIVRA_QT_UI)
#include "app/ui/qtFrontEnd.h"
#elif defined(NIVRA_WINDOW_PROGRAM)
#include "app/windowProgram.h"
#endif

int main(int argc, char** argv) {
    CtestApp app;
#if defined(NIVRA_QT_UI)
    return app.InitInstance(argc, argv, &runQtFrontEnd);
#elif defined(NIVRA_WINDOW_PROGRAM)
    return app.InitInstance(argc, argv, &startWindowProgram);
#else
    return app.InitInstance(argc, argv, nullptr);
#endif
}
