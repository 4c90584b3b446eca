// The nivra program: the Qt window when it is built in and a display is
// there, headless mode otherwise (see app/testApp.h).
#include "app/testApp.h"

#ifdef NIVRA_QT_UI
#include "app/ui/qtFrontEnd.h"
#endif

int main(int argc, char** argv) {
    CtestApp app;
#ifdef NIVRA_QT_UI
    return app.InitInstance(argc, argv, &runQtFrontEnd);
#else
    return app.InitInstance(argc, argv, nullptr);
#endif
}
