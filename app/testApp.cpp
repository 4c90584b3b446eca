#include "app/testApp.h"

#include "app/OptionsDlg.h"
#include "app/addPhone.h"
#include "app/desktopEntry.h"
#include "app/headless.h"
#include "app/historyCommands.h"
#include "app/shareCommands.h"
#include "app/shareLinksPage.h"
#include "app/startDirectory.h"
#include "app/testDlg.h"
#include "history/gpkg.h"
#include "net/server.h"
#include "net/shareStore.h"
#include "platform/display.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "publish/logToKml.h"
#include "sources/gpsd.h"
#include "trace/journal.h"
#include "trace/notice.h"
#include "trace/trace.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <unistd.h>

namespace {

bool takeValue(const std::vector<std::string>& args, size_t& i, const std::string& name,
               std::string& value, std::string& error) {
    const std::string& arg = args[i];
    const std::string withEquals = name + "=";
    if (arg.rfind(withEquals, 0) == 0) {
        value = arg.substr(withEquals.size());
    } else if (i + 1 < args.size()) {
        value = args[++i];
    } else {
        error = name + " needs a value";
        return false;
    }
    if (value.empty()) {
        error = name + " needs a value";
        return false;
    }
    return true;
}

bool isSwitch(const std::string& arg, const std::string& name) {
    return arg == name || arg.rfind(name + "=", 0) == 0;
}

std::string executablePath(const char* argv0) {
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec)
        return self.string();
    return std::filesystem::absolute(argv0 ? argv0 : "nivra", ec).string();
}

} // namespace

bool parseCommandLine(const std::vector<std::string>& args, CommandLine& out, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--kml") {
            out.kml = true;
            out.kmlArgs.assign(args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        } else if (arg == "--export" || arg == "--import") {
            (arg == "--export" ? out.exportHistory : out.importHistory) = true;
            out.historyArgs.assign(args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        } else if (arg == "--share") {
            out.share = true;
            out.shareArgs.assign(args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        } else if (arg == "--headless") {
            out.headless = true;
        } else if (arg == "--start") {
            out.start = true;
        } else if (arg == "--debug-log") {
            out.debugLog = true;
        } else if (arg == "--help" || arg == "-h") {
            out.help = true;
        } else if (arg == "--version") {
            out.version = true;
        } else if (arg == "--register") {
            out.registerDesktop = true;
        } else if (arg == "--unregister") {
            out.unregisterDesktop = true;
        } else if (isSwitch(arg, "--dir")) {
            if (!takeValue(args, i, "--dir", out.dir, error))
                return false;
        } else if (isSwitch(arg, "--bind")) {
            if (!takeValue(args, i, "--bind", out.bind, error))
                return false;
            in_addr addr{};
            if (inet_pton(AF_INET, out.bind.c_str(), &addr) != 1) {
                error = "--bind needs an IPv4 address such as 127.0.0.1, not \"" + out.bind + "\"";
                return false;
            }
        } else if (isSwitch(arg, "--add-phone")) {
            out.addPhone = true;
            if (!takeValue(args, i, "--add-phone", out.phoneName, error))
                return false;
        } else if (isSwitch(arg, "--kind")) {
            if (!takeValue(args, i, "--kind", out.phoneKind, error))
                return false;
            PhoneKind kind;
            if (!phoneKindFromName(out.phoneKind, kind)) {
                error = "--kind takes traccar, osmand or owntracks, not \"" + out.phoneKind + "\"";
                return false;
            }
        } else if (isSwitch(arg, "--earth")) {
            if (!takeValue(args, i, "--earth", out.earth, error))
                return false;
            if (out.earth != "none" && out.earth != "gepro" && out.earth != "auto") {
                error = "--earth takes none, gepro or auto, not \"" + out.earth + "\"";
                return false;
            }
        } else if (isSwitch(arg, "--gpsd")) {
            // The server is optional: a next word that is not a switch is it.
            out.gpsd = true;
            if (arg != "--gpsd" || (i + 1 < args.size() && args[i + 1].rfind("-", 0) != 0)) {
                if (!takeValue(args, i, "--gpsd", out.gpsdServer, error))
                    return false;
                GpsdServer server;
                std::string why;
                if (!parseGpsdServer(out.gpsdServer, server, why)) {
                    error = "--gpsd: " + why;
                    return false;
                }
            }
        } else {
            error = "unknown option \"" + arg + "\"";
            return false;
        }
    }
    if (!out.phoneKind.empty() && !out.addPhone) {
        error = "--kind goes with --add-phone";
        return false;
    }
    if (out.registerDesktop && out.unregisterDesktop) {
        error = "--register and --unregister exclude each other";
        return false;
    }
    return true;
}

SettingOverrides settingOverrides(const CommandLine& cmd) {
    SettingOverrides overrides;
    if (!cmd.bind.empty())
        overrides.bindAddress = cmd.bind;
    if (!cmd.earth.empty())
        overrides.earthBackend = cmd.earth;
    if (cmd.gpsd)
        overrides.gpsdServer = cmd.gpsdServer;
    return overrides;
}

std::string usageText() {
    return "Usage: nivra [options]\n"
           "Live GPS tracks of your vehicles in Google Earth.\n"
           "\n"
           "  --headless        run without a window; Ctrl+C or SIGTERM ends it\n"
           "  --start           start the demo (or a paused engine) once started up;\n"
           "                    a running engine is left running\n"
           "  --dir DIR         start directory for track files, logs and AutoView.cfg,\n"
           "                    made when missing (default: ~/.local/share/nivra)\n"
           "  --bind ADDR       listen on this IPv4 address only, every port (default: the\n"
           "                    network link, base and peer ports on 127.0.0.1, see the\n"
           "                    LinkBindAddress and PeerBindAddress settings, the tracker\n"
           "                    port and the phone port on every address)\n"
           "  --earth BACKEND   Google Earth backend: none, gepro or auto (default: auto)\n"
           "  --debug-log       write the trace log to nivraDebug.log in the start directory\n"
           "  --gpsd [HOST[:PORT]]\n"
           "                    take the local position from gpsd (default 127.0.0.1:2947)\n"
           "                    instead of the demo or a serial port; saved as the choice\n"
           "  --kml LOG.nme [-o OUT.kml|OUT.gpx|-] [--all-points]\n"
           "                    convert a recorded NMEA log to a KML file (- for standard\n"
           "                    output) and end; OUT.gpx writes GPX with every point's time\n"
           "  --export [--vehicle KEY]... [--from TIME] [--to TIME] -o FILE\n"
           "                    write the history (history.gpkg in the start directory) as\n"
           "                    GPX, KML or GeoJSON, chosen by FILE's extension (.gpx, .kml,\n"
           "                    .geojson); TIME is YYYY-MM-DD[THH:MM[:SS]] in UTC or seconds\n"
           "                    since 1970\n"
           "  --import [--vehicle KEY] FILE...\n"
           "                    add track files (.trk) and NMEA logs (.nme) to the history\n"
           "                    (the vehicle is KEY, else each file's name)\n"
           "  --add-phone NAME [--kind traccar|osmand|owntracks]\n"
           "                    add a phone as a vehicle with a new device key, print the\n"
           "                    URL to type into its app and a QR code of it, and end\n"
           "                    (default kind traccar: Traccar Client; see docs/phones.md)\n"
           "  --share create [--vehicle KEY]... [--until DATE]\n"
           "                    make a share link: another machine may read the network-link\n"
           "                    port (Google Earth, the globe) with it, for every vehicle or\n"
           "                    the ones named, until DATE (YYYY-MM-DD: to that day's end,\n"
           "                    UTC) if given; prints the link (its key is shown this once)\n"
           "  --share list      list the share links (id, created, until, vehicles)\n"
           "  --share revoke ID withdraw a share link\n"
           "  --register        add Nivra to the desktop's application menu for this user\n"
           "  --unregister      remove it from there again\n"
           "  --help            show this text\n"
           "  --version         show the version\n"
           "\n"
           "Settings live in $NIVRA_REGISTRY, else ~/.config/nivra/registry.reg.\n"
           "The browser globe is /globe on the network-link port; $NIVRA_CESIUM_DIR and\n"
           "$NIVRA_GLOBE_DIR name other folders for CesiumJS and its page. See nivra(1).\n";
}

std::string versionText() {
    return std::string("nivra ") + NIVRA_VERSION + "\n";
}

bool CtestApp::enterStartDirectory() {
    StartDirectory chosen;
    std::string error;
    if (!prepareStartDirectory(m_cmd.dir, currentDirectory(), defaultStartDirectory(dataHomeDir()),
                               chosen, error)) {
        std::cerr << stderrLines(kJournalError, "nivra: " + error);
        return false;
    }
    setStartDir(chosen.dir);
    setDebugLogFile(FullPath("nivraDebug.log"));
    // Told once: the window shows it on its status line, headless mode on stderr.
    if (!chosen.notice.empty())
        noticeUser("CtestApp::InitInstance", chosen.notice);
    return true;
}

int CtestApp::InitInstance(int argc, char** argv, WindowFrontEnd window) {
    try {
        return run(argc, argv, window);
    } catch (...) {
        NTRACE("Nivra - Unhandled exception in main thread");
        // Name the log only when there is one to look at.
        if (debugLoggingOn())
            std::cerr << stderrLines(kJournalError,
                                     "nivra: unexpected error; see " + FullPath("nivraDebug.log"))
                      << std::flush;
        else
            std::cerr << stderrLines(kJournalError,
                                     "nivra: unexpected error; run with --debug-log for details")
                      << std::flush;
        return 1;
    }
}

int CtestApp::run(int argc, char** argv, WindowFrontEnd window) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    std::string error;
    if (!parseCommandLine(args, m_cmd, error)) {
        std::cerr << stderrLines(kJournalError, "nivra: " + error) << "\n" << usageText();
        return 2;
    }
    if (m_cmd.help) {
        std::cout << usageText();
        return 0;
    }
    if (m_cmd.version) {
        std::cout << versionText();
        return 0;
    }

    // The switches that end at once work where they are started (a log named
    // on the command line is found where the user is), or in --dir.
    if (!m_cmd.dir.empty()) {
        StartDirectory chosen;
        if (!prepareStartDirectory(m_cmd.dir, currentDirectory(), "", chosen, error)) {
            std::cerr << stderrLines(kJournalError, "nivra: --dir " + m_cmd.dir + ": " + error);
            return 2;
        }
        setStartDir(chosen.dir);
    } else {
        setStartDir();
    }
    setDebugLogFile(FullPath("nivraDebug.log"));
    if (m_cmd.debugLog)
        setDebugLogging(true);
    NTRACE("here");

    if (m_cmd.registerDesktop || m_cmd.unregisterDesktop) {
        NTRACE("here");
        bool removed = false;
        const bool ok = m_cmd.registerDesktop ? registerDesktopEntry(executablePath(argv[0]), error)
                                              : unregisterDesktopEntry(error, &removed);
        if (!ok) {
            std::cerr << stderrLines(kJournalError, "nivra: " + error);
            return 1;
        }
        const DesktopPaths paths = desktopPaths();
        if (m_cmd.unregisterDesktop && !removed) {
            std::cerr << stderrLines(
                kJournalError, "nivra: nothing to remove: no desktop entry at " + paths.entry);
            return 1;
        }
        std::cout << (m_cmd.registerDesktop ? "Installed " : "Removed ") << paths.entry << "\n";
        return 0;
    }

    if (m_cmd.addPhone)
        return addPhoneCommand(m_cmd.phoneName, m_cmd.phoneKind, std::cout, std::cerr);

    if (m_cmd.kml) {
        std::vector<std::string> kmlArgv{argv[0], "--kml"};
        kmlArgv.insert(kmlArgv.end(), m_cmd.kmlArgs.begin(), m_cmd.kmlArgs.end());
        std::vector<const char*> ptrs;
        for (const std::string& a : kmlArgv)
            ptrs.push_back(a.c_str());
        return kmlCommand(static_cast<int>(ptrs.size()), ptrs.data(), std::cout, std::cerr);
    }

    if (m_cmd.exportHistory || m_cmd.importHistory) {
        // The history belongs to the tracker's start directory; the files
        // named on the command line are where the user is.
        const std::string workDir = currentDirectory();
        if (!enterStartDirectory())
            return 2;
        const std::string history = FullPath(kHistoryFileName);
        if (m_cmd.exportHistory)
            return exportCommand(m_cmd.historyArgs, workDir, history, std::cout, std::cerr);
        // Read only: the settings are not written back.
        RegistryStore registry(defaultRegistryPath());
        COptionsDlg settings;
        settings.load(registry);
        return importCommand(m_cmd.historyArgs, workDir, history, settings.HistoryDays, std::cout,
                             std::cerr);
    }

    if (m_cmd.share) {
        // The shares belong to the tracker's start directory, beside a
        // running tracker, which reads the file again when it changes.
        if (!enterStartDirectory())
            return 2;
        RegistryStore registry(defaultRegistryPath());
        COptionsDlg settings;
        settings.load(registry); // read only: not written back
        const ShareTarget target =
            shareTarget(settings, settings.FixBlur ? kFixBlurPort : kNetworkLinkPort);
        return shareCommand(m_cmd.shareArgs, FullPath(kShareFileName), target.linkBase,
                            target.localOnly, static_cast<int64_t>(std::time(nullptr)), std::cout,
                            std::cerr);
    }

    // A peer or Google Earth that hangs up mid-reply must not end the program;
    // the listeners see the failed send instead.
    signal(SIGPIPE, SIG_IGN);
    NTRACE("here");

    if (window && !m_cmd.headless) {
        // Qt would end the process when the display does not answer.
        const DisplayCheck display = displayReachable();
        if (display.reachable) {
            const int status = window(*this, argc, argv);
            NTRACE("here");
            return status;
        }
        std::cerr << stderrLines(kJournalInfo, "nivra: " + display.why + "; running headless");
    } else if (!m_cmd.headless) {
        std::cerr << stderrLines(kJournalInfo, "nivra: this build has no window; running headless");
    }
    if (!enterStartDirectory())
        return 2;
    const int status = runHeadless(m_cmd);
    NTRACE("here");
    return status;
}
