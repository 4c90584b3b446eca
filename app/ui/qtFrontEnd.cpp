#include "app/ui/qtFrontEnd.h"

#include "app/OptionsDlg.h"
#include "app/appContext.h"
#include "app/headless.h"
#include "app/testApp.h"
#include "app/ui/appIcon.h"
#include "app/ui/externalServerDialog.h"
#include "app/ui/ftpStatusDialog.h"
#include "app/ui/mainWindow.h"
#include "app/ui/optionsDialog.h"
#include "app/ui/palette.h"
#include "app/ui/uiServicesQt.h"
#include "earth/globe.h"
#include "net/server.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/singleInstance.h"
#include "trace/trace.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <clocale>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <unistd.h>

namespace {

// How often the window looks for work posted by other threads and for a
// stop request from SIGINT or SIGTERM.
constexpr int kPollMs = 50;

void printWhereToLook(CSubsystems& sys) {
    // The network link's own address (LinkBindAddress unless --bind), as in
    // the headless banner.
    const std::string link = linkListenAddress(sys.options());
    std::cout << "Nivra " << NIVRA_VERSION << " is running in its window.\n"
              << "  In Google Earth add a network link to " << listenerUrl(link, sys.linkPort())
              << "/NivraServers (refresh every 0.5 seconds).\n"
              << "  In a browser open " << globeAddress(link, sys.linkPort())
              << " to see the vehicles on a 3D globe.\n"
              << "  Stop it by closing the window, with Ctrl+C here or `kill -TERM " << getpid()
              << "`; tracks and settings are saved on the way out." << std::endl;
}

} // namespace

int runQtFrontEnd(CtestApp& app, int argc, char** argv) {
    // One window per settings file: a second start brings the first one's
    // window to the front and ends before it opens a display or a port.
    const std::string registry = defaultRegistryPath();
    CSingleInstance instance;
    {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        std::string why;
        switch (instance.claim(singleInstanceSocketPath(runtime ? runtime : "", registry), why)) {
        case CSingleInstance::Claim::Raised:
            std::cout << "Nivra is already running with the settings in " << registry
                      << "; its window was brought to the front." << std::endl;
            return 0;
        case CSingleInstance::Claim::Failed:
            NTRACE("no single-instance socket: %s", why.c_str());
            std::cerr << "nivra: cannot tell whether Nivra already runs (" << why
                      << "); starting anyway" << std::endl;
            break;
        case CSingleInstance::Claim::First:
            break;
        }
    }

    if (!app.enterStartDirectory())
        return 2;

    QApplication qapp(argc, argv);
    // QApplication adopts the user's locale for the C library too. Track
    // coordinates, track files, NMEA sentences and KML are written and read
    // with printf/scanf and must keep the decimal point whatever the desktop's
    // language, so numbers stay in the "C" locale.
    setlocale(LC_NUMERIC, "C");
    QApplication::setApplicationName(QStringLiteral("Nivra"));
    QApplication::setApplicationVersion(QStringLiteral(NIVRA_VERSION));
    QApplication::setWindowIcon(nivraIcon());
    // Message boxes and file pickers in the colours of the program's windows.
    QApplication::setPalette(nivraPalette());
    // The window hides into the tray and ends by its own rules; the last
    // window going away is not the end.
    QApplication::setQuitOnLastWindowClosed(false);

    CQtUiServicesScope services;
    installStopSignals();
    CAppContext parts(registry);
    parts.engine().m_stopAsked = &stopRequested;
    CMainWindow window(parts.links());
    // exit(), not quit(): quit() first asks every window to close and gives
    // up when one refuses, and the GPS data window refuses a close (it only
    // hides). The run would go on with no window, nothing saved.
    QObject::connect(&window, &QDialog::finished, &qapp, [] { QCoreApplication::exit(0); });
    window.setOptionsDialog([&window, &parts] {
        COptionsDialog options(parts.links(), &window);
        options.setFtpDialog(
            [&options, &parts] { return runFtpStatusDialog(&options, parts.links()); });
        options.setServerDialog([&options, &parts](bool mapFactor) {
            return runExternalServerDialog(&options, parts.links(), mapFactor);
        });
        return options.exec() == QDialog::Accepted;
    });

    window.dlg().setOverrides(settingOverrides(app.commandLine()));
    window.startUp();
    // --start gets the demo going; a running engine stays as it is.
    if (app.commandLine().start)
        window.dlg().onContinue();
    printWhereToLook(parts.links());

    // A second start asks for the window.
    std::unique_ptr<QSocketNotifier> secondStarts;
    if (instance.fd() >= 0) {
        secondStarts = std::make_unique<QSocketNotifier>(instance.fd(), QSocketNotifier::Read);
        QObject::connect(secondStarts.get(), &QSocketNotifier::activated, &window,
                         [&window, &instance] {
                             if (instance.takeRequests() > 0 && !window.ended())
                                 window.dlg().onTrayOpen();
                         });
    }

    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &window, [&window] {
        if (stopRequested()) {
            // A stop signal after the dialog has ended only repeats the
            // request to leave the event loop.
            if (window.ended())
                QCoreApplication::exit(0);
            else
                window.dlg().onCancel();
        }
        window.dlg().processPosted();
    });
    poll.start(kPollMs);

    // The window may already have ended during start-up (a stop signal).
    if (!window.ended())
        QApplication::exec();
    poll.stop();

    std::cout << "Nivra: stopping; saving tracks, vehicles and settings." << std::endl;
    const bool saved = window.shutdown();
    std::cout << "Nivra: stopped." << std::endl;
    return saved ? 0 : 1;
}
