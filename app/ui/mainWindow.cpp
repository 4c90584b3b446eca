#include "app/ui/mainWindow.h"

#include "app/OptionsDlg.h"
#include "app/subsystems.h"
#include "app/ui/aboutDlg.h"
#include "app/ui/appIcon.h"
#include "app/ui/gpsDataWindow.h"
#include "app/ui/palette.h"
#include "app/ui/tray.h"
#include "app/ui/uiServicesQt.h"
#include "platform/uiServices.h"
#include "trace/trace.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QScreen>
#include <QWindowStateChangeEvent>

namespace {

// Narrow, as the window was on Windows, yet wide enough for three buttons.
constexpr int kMinWidth = 190;

// Rotate, zoom and tilt are push buttons that stay pressed while on.
constexpr const char* kToggleStyle =
    "QPushButton { background: #ecedf8; border: 1px solid #6d71aa; border-radius: 3px;"
    " padding: 3px 2px; }"
    "QPushButton:hover { border-color: #2a3a7a; }"
    "QPushButton:focus { border: 2px solid #2a3a7a; padding: 2px 1px; }"
    "QPushButton:checked { background: #4d5399; color: white; border-color: #2a3a7a; }"
    // On the dark pressed face a dark frame would hide the focus: a light one.
    "QPushButton:checked:focus { border: 2px solid #ffd54a; padding: 2px 1px; }";

// The on/off/toggle shortcuts of the check boxes: Ctrl+key on, Alt+key off,
// Ctrl+Alt+key toggle.
struct CheckKey {
    Qt::Key key;
    DlgCheck box;
};
constexpr CheckKey kCheckKeys[] = {
    {Qt::Key_T, DlgCheck::AutoTrack},
    {Qt::Key_U, DlgCheck::Rotate},
    {Qt::Key_Z, DlgCheck::Zoom},
    {Qt::Key_E, DlgCheck::Tilt},
};

} // namespace

CMainWindow::CMainWindow(CSubsystems& sys, std::unique_ptr<CTickTimer> timer)
    : QDialog(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint),
      m_sys(sys), m_dlg(*this, sys), m_timer(std::move(timer)),
      m_autoTrack(QStringLiteral("Auto Track")), m_autoView(QStringLiteral("Auto View")),
      m_rotate(QStringLiteral("Rotate")), m_zoom(QStringLiteral("Zoom")),
      m_tilt(QStringLiteral("Tilt")), m_save(QStringLiteral("Save")),
      m_clearTrack(QStringLiteral("Clear Track")), m_options(QStringLiteral("Options...")),
      m_globeAction(QStringLiteral("Open the Globe in a Browser")),
      m_exportAction(QStringLiteral("Export Track\u2026")),
      m_aboutAction(QStringLiteral("About Nivra...")) {
    if (!m_timer)
        m_timer = std::make_unique<CQtTickTimer>();
    m_timer->setHandler([this] { m_dlg.onTimer(); });

    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QString::fromLatin1(kWindowTitle));
    setWindowIcon(nivraIcon());
    useNivraPalette(*this);

    m_tray = std::make_unique<CTrayIcon>(nivraIcon(),
                                         CTrayIcon::Handlers{[this] { m_dlg.onTrayDoubleClick(); },
                                                             [this] { m_dlg.onTrayOpen(); },
                                                             [this] { m_dlg.onTrayExit(); }});

    buildLayout();
    connectControls();
    addShortcuts();
    setDialogOwner(this);
}

CMainWindow::~CMainWindow() {
    // The widgets outlive nothing they could call back into; say so plainly.
    m_selector.setDroppedHandler({});
    m_timer->setHandler({});
}

void CMainWindow::buildLayout() {
    m_autoTrack.setObjectName(QStringLiteral("autoTrack"));
    m_selector.setObjectName(QStringLiteral("vehicleSelector"));
    m_autoView.setObjectName(QStringLiteral("autoView"));
    m_rotate.setObjectName(QStringLiteral("rotate"));
    m_zoom.setObjectName(QStringLiteral("zoom"));
    m_tilt.setObjectName(QStringLiteral("tilt"));
    m_startPause.setObjectName(QStringLiteral("startPause"));
    m_save.setObjectName(QStringLiteral("save"));
    m_clearTrack.setObjectName(QStringLiteral("clearTrack"));
    m_options.setObjectName(QStringLiteral("options"));
    m_statusLine.setObjectName(QStringLiteral("statusLine"));

    for (QPushButton* b : {&m_rotate, &m_zoom, &m_tilt}) {
        b->setCheckable(true);
        b->setAutoDefault(false);
        // Three to a row, sharing the width; clearly pressed while on.
        b->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
        b->setStyleSheet(QString::fromLatin1(kToggleStyle));
    }
    for (QPushButton* b : {&m_save, &m_clearTrack, &m_options})
        b->setAutoDefault(false);
    // The default button: Enter presses it.
    m_startPause.setDefault(true);
    m_options.setEnabled(false);
    m_statusLine.setTextFormat(Qt::PlainText);

    int row = 0;
    m_layout.addWidget(&m_autoTrack, row++, 0, 1, 3);
    m_layout.addWidget(&m_selector, row++, 0, 1, 3);
    m_layout.addWidget(&m_autoView, row++, 0, 1, 3);
    m_layout.addWidget(&m_rotate, row, 0);
    m_layout.addWidget(&m_zoom, row, 1);
    m_layout.addWidget(&m_tilt, row++, 2);
    m_layout.addWidget(&m_startPause, row++, 0, 1, 3);
    m_layout.addWidget(&m_save, row++, 0, 1, 3);
    m_layout.addWidget(&m_clearTrack, row++, 0, 1, 3);
    m_layout.addWidget(&m_options, row++, 0, 1, 3);
    m_layout.addWidget(&m_statusLine, row++, 0, 1, 3);
    // The globe and the about box in plain sight, not only in the
    // right-click menu that nobody knows about.
    m_menuBar.setObjectName(QStringLiteral("menuBar"));
    m_menuBar.setNativeMenuBar(false);
    QAction* globe = m_menuBar.addAction(QStringLiteral("&Globe"));
    globe->setObjectName(QStringLiteral("globeMenu"));
    globe->setToolTip(m_globeAction.text());
    connect(globe, &QAction::triggered, &m_globeAction, &QAction::trigger);
    QAction* about = m_menuBar.addAction(QStringLiteral("&About"));
    about->setObjectName(QStringLiteral("aboutMenu"));
    connect(about, &QAction::triggered, &m_aboutAction, &QAction::trigger);
    m_layout.setMenuBar(&m_menuBar);
    m_layout.setHorizontalSpacing(2);
    m_layout.setVerticalSpacing(4);
    m_layout.setContentsMargins(8, 8, 8, 6);
    setLayout(&m_layout);

    // Not resizable: the window keeps the size its controls need, at least
    // as wide as the longest caption the start/pause button can carry.
    m_startPause.setText(QString::fromLatin1(kCaptionStartDemo));
    setFixedSize(sizeHint().expandedTo(QSize(kMinWidth, 0)));
    m_startPause.setText(QString());
    // Lay the controls out now: the status line cuts its text to its width
    // even before the window is first shown (it starts hidden in the tray).
    m_layout.activate();

    addAction(&m_globeAction);
    m_exportAction.setObjectName(QStringLiteral("exportTrackAction"));
    addAction(&m_exportAction);
    addAction(&m_aboutAction);
    setContextMenuPolicy(Qt::ActionsContextMenu);
}

void CMainWindow::connectControls() {
    for (DlgCheck box : {DlgCheck::AutoTrack, DlgCheck::AutoView, DlgCheck::Rotate, DlgCheck::Zoom,
                         DlgCheck::Tilt}) {
        // `clicked` comes from the user (mouse, space bar), never from
        // setChecked, so the logic's own updates do not come back as clicks.
        connect(&checkWidget(box), &QAbstractButton::clicked, this,
                [this, box](bool on) { m_dlg.onCheckClicked(box, on); });
    }
    connect(&m_startPause, &QPushButton::clicked, this, [this] { m_dlg.onStartPause(); });
    connect(&m_save, &QPushButton::clicked, this, [this] { m_dlg.onSave(); });
    connect(&m_clearTrack, &QPushButton::clicked, this, [this] { m_dlg.onClearTrack(); });
    connect(&m_options, &QPushButton::clicked, this, [this] { m_dlg.onOptions(); });
    connect(&m_selector, &QComboBox::activated, this, [this](int index) {
        m_dlg.onSelectorPicked(index);
        showSelector(m_dlg.selector().entries(), m_dlg.selector().current());
    });
    m_selector.setDroppedHandler([this](bool dropped) { m_dlg.onSelectorDropped(dropped); });
    connect(&m_globeAction, &QAction::triggered, this, [this] { m_dlg.onOpenGlobe(); });
    connect(&m_aboutAction, &QAction::triggered, this, [this] { showAbout(); });
    connect(&m_exportAction, &QAction::triggered, this, [this] { exportTrack(); });
}

void CMainWindow::addShortcuts() {
    auto add = [this](QKeyCombination keys, std::function<void()> run) {
        auto shortcut = std::make_unique<QShortcut>(QKeySequence(keys), this);
        connect(shortcut.get(), &QShortcut::activated, this, std::move(run));
        m_shortcuts.push_back(std::move(shortcut));
    };
    for (const CheckKey& k : kCheckKeys) {
        const DlgCheck box = k.box;
        add(Qt::CTRL | k.key, [this, box] { m_dlg.onCheckCommand(box, CheckCommand::On); });
        add(Qt::ALT | k.key, [this, box] { m_dlg.onCheckCommand(box, CheckCommand::Off); });
        add(Qt::CTRL | Qt::ALT | k.key,
            [this, box] { m_dlg.onCheckCommand(box, CheckCommand::Toggle); });
    }
    add(Qt::CTRL | Qt::Key_P, [this] { m_dlg.onContinue(); });
    add(Qt::ALT | Qt::Key_P, [this] { m_dlg.onPause(); });
    add(Qt::CTRL | Qt::ALT | Qt::Key_P, [this] { m_dlg.onStartPause(); });
    add(Qt::CTRL | Qt::Key_S, [this] { m_dlg.onSave(); });
    add(Qt::CTRL | Qt::Key_C, [this] { m_dlg.onCopyPosition(); });
    add(Qt::CTRL | Qt::Key_M, [this] { m_dlg.onSelectLocal(); });
    add(Qt::ALT | Qt::Key_X, [this] { m_dlg.onTrayExit(); });
    add(Qt::ALT | Qt::Key_O, [this] { m_dlg.onTrayOpen(); });
}

QAbstractButton& CMainWindow::checkWidget(DlgCheck box) {
    switch (box) {
    case DlgCheck::AutoTrack:
        return m_autoTrack;
    case DlgCheck::AutoView:
        return m_autoView;
    case DlgCheck::Rotate:
        return m_rotate;
    case DlgCheck::Zoom:
        return m_zoom;
    case DlgCheck::Tilt:
        break;
    }
    return m_tilt;
}

void CMainWindow::startUp() {
    m_dlg.startUp();
}

bool CMainWindow::shutdown() {
    return m_dlg.shutdown();
}

void CMainWindow::setOptionsDialog(std::function<bool()> run) {
    m_optionsDialog = std::move(run);
    m_options.setEnabled(static_cast<bool>(m_optionsDialog));
}

void CMainWindow::showAbout() {
    if (!m_about)
        m_about = std::make_unique<CAboutDlg>(this);
    m_about->open();
    m_about->raise();
}

CAboutDlg* CMainWindow::aboutBox() const {
    return m_about && m_about->isVisible() ? m_about.get() : nullptr;
}

void CMainWindow::placeWindow(bool topMost, int left, int top, bool show) {
    setWindowFlag(Qt::WindowStaysOnTopHint, topMost);
    // A position saved on a screen that is gone would put the window out of
    // reach: such a window starts at the top-left corner of the main screen.
    QRect place(QPoint(left, top), frameGeometry().size());
    bool onScreen = false;
    for (const QScreen* screen : QGuiApplication::screens())
        onScreen = onScreen || screen->availableGeometry().contains(place.center());
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (!onScreen && primary) {
        place.moveTopLeft(primary->availableGeometry().topLeft());
        m_dlg.onMove(place.left(), place.top()); // remembered like a move by hand
    }
    move(place.topLeft());
    if (show)
        showWindow(true);
    else
        hide();
}

void CMainWindow::setTopMost(bool topMost) {
    if (windowFlags().testFlag(Qt::WindowStaysOnTopHint) == topMost)
        return;
    const bool visible = isVisible();
    setWindowFlag(Qt::WindowStaysOnTopHint, topMost); // this hides the window
    if (visible)
        show();
}

void CMainWindow::showWindow(bool show) {
    if (!show) {
        hide();
        return;
    }
    setWindowState(windowState() & ~Qt::WindowMinimized);
    QDialog::show();
    raise();
    activateWindow();
}

bool CMainWindow::windowShown() const {
    return isVisible() && !isMinimized();
}

void CMainWindow::setTitle(const std::string& title) {
    setWindowTitle(QString::fromStdString(title));
}

void CMainWindow::setCheck(DlgCheck box, bool on) {
    checkWidget(box).setChecked(on);
}

void CMainWindow::showSelector(const std::vector<std::string>& entries, int current) {
    m_selector.showEntries(entries, current);
}

void CMainWindow::setStartCaption(const std::string& caption) {
    m_startPause.setText(QString::fromStdString(caption));
}

void CMainWindow::setStatusLine(const std::string& text) {
    m_status = text;
    // One line: a long text from the serial reader is cut with an ellipsis
    // and shown whole as the tool tip.
    const QString full = QString::fromStdString(text);
    m_statusLine.setText(
        m_statusLine.fontMetrics().elidedText(full, Qt::ElideRight, m_statusLine.width()));
    m_statusLine.setToolTip(full);
}

void CMainWindow::setTimer(unsigned periodMs) {
    m_timer->start(periodMs);
}

void CMainWindow::endDialog() {
    if (m_ended)
        return;
    m_ended = true;
    if (m_gpsData)
        m_gpsData->programEnding();
    done(QDialog::Rejected);
}

bool CMainWindow::trayAvailable() const {
    const bool available = m_trayAvailable.value_or(CTrayIcon::desktopHasTray());
    if (!available && m_sys.options().RunInTray) {
        if (showMessageOnce("no-tray", "This desktop has no notification area (tray), so Nivra "
                                       "stays a normal window and closing it ends Nivra."))
            NTRACE("no system tray; RunInTray has no effect");
    }
    return available;
}

void CMainWindow::setTrayIcon(bool shown) {
    m_tray->setShown(shown);
}

bool CMainWindow::runOptionsDialog() {
    return m_optionsDialog ? m_optionsDialog() : false;
}

void CMainWindow::showGpsData(bool) {
    // Created once, at the end of start-up; the setting decides the rest.
    if (!m_gpsData) {
        CSubsystems* sys = &m_sys;
        m_gpsData = std::make_unique<CGpsDataWindow>(m_sys.options(), m_sys.clients(), nullptr,
                                                     [sys] { return sys->gpsdStatus(); });
        m_gpsData->create(frameGeometry());
    } else {
        m_gpsData->logic().applyShowSetting();
    }
}

void CMainWindow::reject() {
    m_dlg.onCancel();
}

void CMainWindow::closeEvent(QCloseEvent* event) {
    if (m_ended) {
        event->accept();
        return;
    }
    // Closing either hides the window (in the tray) or ends the dialog,
    // which hides it through done(); Qt must not close it on its own.
    event->ignore();
    m_dlg.onCloseRequest();
    if (m_ended)
        event->accept();
}

void CMainWindow::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized())
        return;
    // In the tray, minimising hides the window instead. The window system is
    // still busy minimising, so decide once it is done. The minimised state
    // stays until the window is shown again (showWindow clears it then):
    // clearing it now would map the hidden window again, an empty frame
    // that the program no longer draws.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (isMinimized())
                m_dlg.onMinimize();
        },
        Qt::QueuedConnection);
}

void CMainWindow::moveEvent(QMoveEvent* event) {
    QDialog::moveEvent(event);
    if (isVisible() && !isMinimized())
        m_dlg.onMove(x(), y());
}

void CMainWindow::exportTrack() {
    const std::string name = m_dlg.exportTrackName();
    if (name.empty()) {
        m_dlg.onExportTrack(std::string()); // says that no vehicle is followed
        return;
    }
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("Export Track"), QDir::home().filePath(QString::fromStdString(name)),
        QStringLiteral("GPX (*.gpx);;KML with times (*.kml);;GeoJSON (*.geojson)"));
    if (!path.isEmpty())
        m_dlg.onExportTrack(path.toStdString());
}
