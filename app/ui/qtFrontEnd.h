// The desktop front end: runs the main window with Qt. main() passes it to
// CtestApp, which calls it when a display is there and --headless is not
// given. This header stays free of Qt so that main.cpp needs none.
#pragma once

class CtestApp;

// Runs the main window until it ends, then the shutdown sequence. Returns
// the process exit status.
int runQtFrontEnd(CtestApp& app, int argc, char** argv);
