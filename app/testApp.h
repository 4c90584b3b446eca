// The application object: prepares the process (start directory, signals),
// reads the command line and runs the main window through a front end, the Qt
// window when a display answers and it is built, else headless mode. The
// switches that end without a window (--help, --version, --register,
// --unregister, --kml, --export, --import, --share) are handled here too.
#pragma once

#include <string>
#include <vector>

struct CommandLine {
    bool headless = false;
    bool start = false; // start the demo (or a paused engine) after start-up
    bool help = false;
    bool version = false;
    bool registerDesktop = false;
    bool unregisterDesktop = false;
    bool kml = false;
    bool debugLog = false; // --debug-log: the trace log file "nivraDebug.log" from the start
    std::vector<std::string> kmlArgs; // everything after --kml
    bool exportHistory = false;
    bool importHistory = false;
    std::vector<std::string> historyArgs; // everything after --export or --import
    bool share = false;                   // --share create|list|revoke
    std::vector<std::string> shareArgs;   // everything after --share
    std::string dir;                      // --dir: the start directory
    std::string bind;                     // --bind: listen on this address only
    std::string earth;                    // --earth: none, gepro or auto
    bool gpsd = false;                    // --gpsd: the local position from gpsd
    std::string gpsdServer;               // its HOST[:PORT], empty for the stored one
    bool addPhone = false;                // --add-phone NAME: make a phone vehicle and end
    std::string phoneName;
    std::string phoneKind; // --kind: traccar, osmand or owntracks
};

// Reads the switches after the program name. False, with `error` set, for
// an unknown switch, a missing value or a value that is not allowed.
bool parseCommandLine(const std::vector<std::string>& args, CommandLine& out, std::string& error);

struct SettingOverrides;
// The stored settings the switches override (--bind, --earth), for either
// front end.
SettingOverrides settingOverrides(const CommandLine& cmd);

std::string usageText();
std::string versionText();

class CtestApp;
// Runs the main window with a desktop front end; returns the exit status.
using WindowFrontEnd = int (*)(CtestApp& app, int argc, char** argv);

class CtestApp {
public:
    // Everything from process start to the end of the main window. Returns
    // the process exit status. `window` is the desktop front end when one is
    // built into the program (nullptr: headless only).
    int InitInstance(int argc, char** argv, WindowFrontEnd window);

    const CommandLine& commandLine() const { return m_cmd; }

    // Chooses, creates and enters the start directory of a tracker run (--dir,
    // else ~/.local/share/nivra with an older setup carried over; see
    // app/startDirectory.h). The front end calls it once it knows it runs.
    // False, after saying why on stderr, when the folder cannot be used.
    bool enterStartDirectory();

private:
    int run(int argc, char** argv, WindowFrontEnd window);

    CommandLine m_cmd;
};
