#include "app/ui/optionsDialog.h"

#include "app/OptionsDlg.h"
#include "app/subsystems.h"
#include "app/ui/appIcon.h"
#include "app/ui/palette.h"
#include "app/ui/uiServicesQt.h"
#include "earth/globeConfig.h"
#include "net/shareStore.h"
#include "platform/paths.h"
#include "platform/serial.h"
#include "platform/uiServices.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QSignalBlocker>
#include <QStyle>
#include <QUrl>

#include <ctime>

namespace {

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

std::string ss(const QString& s) {
    return s.toStdString();
}

struct LabelBox {
    const char* caption;
    VehicleFlag flag;
};
constexpr LabelBox kLabelBoxes[] = {
    {"Name", VehicleFlag::ShowName},    {"Host", VehicleFlag::ShowHost},
    {"Time", VehicleFlag::ShowTime},    {"Speed", VehicleFlag::ShowSpeed},
    {"Altitude", VehicleFlag::ShowAlt}, {"Heading", VehicleFlag::ShowHdg},
};

struct FlagBox {
    const char* caption;
    OptionFlag flag;
};
constexpr FlagBox kFlagBoxes[] = {
    {"Always on top", OptionFlag::AlwaysOnTop},
    {"Run in tray", OptionFlag::RunInTray},
    {"Start Google Earth automatically", OptionFlag::AutoStartGE},
    {"Clear track at start-up", OptionFlag::ClearTrackOnStartup},
    {"Save KML to Google Earth", OptionFlag::SaveToGE},
    {"Show GPS data window", OptionFlag::ShowGpsData},
    {"Show selected track only", OptionFlag::SelTrackOnly},
};

QDate toQDate(const CalendarDate& d) {
    return QDate(d.year, d.month, d.day);
}

CalendarDate fromQDate(const QDate& d) {
    return {d.year(), d.month(), d.day()};
}

void setSlider(QSlider& s, SliderRange r) {
    s.setOrientation(Qt::Horizontal);
    s.setRange(r.low, r.high);
    s.setTickInterval(2);
    s.setPageStep(std::max(2, (r.high - r.low) / 10));
}

} // namespace

COptionsDialog::COptionsDialog(CSubsystems& sys, QWidget* parent, std::unique_ptr<CTickTimer> timer)
    : QDialog(parent), m_logic(*this, sys),
      m_shares(
          FullPath(kShareFileName), [&sys] { return shareTarget(sys.options(), sys.linkPort()); },
          [] { return static_cast<int64_t>(std::time(nullptr)); }),
      m_timer(std::move(timer)), m_gpsGroup(QStringLiteral("GPS")),
      m_playGroup(QStringLiteral("Playback and recording")),
      m_functionGroup(QStringLiteral("Functions")), m_vehicleGroup(QStringLiteral("Vehicles")),
      m_rightGroup(QStringLiteral("Display")),
      m_globeGroup(QStringLiteral("Browser globe, history and share links")),
      m_gpsdServerLabel(QStringLiteral("&gpsd at")), m_connect(QStringLiteral("&Connect")),
      m_disconnect(QStringLiteral("&Disconnect")), m_autoConnect(QStringLiteral("Auto connect")),
      m_autoFind(QStringLiteral("Auto scan ports")), m_logBrowse(QStringLiteral("...")),
      m_play(QStringLiteral("&Play")), m_stop(QStringLiteral("&Stop")),
      m_loop(QStringLiteral("Loop")), m_record(QStringLiteral("&Record")),
      m_stopRecord(QStringLiteral("S&top record")), m_continuous(QStringLiteral("Continuous")),
      m_ftp(QStringLiteral("Periodic &file save (FTP client)...")),
      m_debugLog(QStringLiteral("Debug log")), m_nameLabel(QStringLiteral("Name")),
      m_hostLabel(QStringLiteral("Host")), m_land(QStringLiteral("Land/sea")),
      m_air(QStringLiteral("Air")), m_visible(QStringLiteral("Visible")),
      m_classic(QStringLiteral("Classic 3D")), m_image(QStringLiteral("Image")),
      m_model(QStringLiteral("Model")), m_cursorBrowse(QStringLiteral("...")),
      m_colorLabel(QStringLiteral("Colour")), m_speedTrack(QStringLiteral("Speed track")),
      m_extrude(QStringLiteral("Extrude")), m_timestamps(QStringLiteral("Timestamps")),
      m_compress(QStringLiteral("Compress")), m_maxPointsLabel(QStringLiteral("Max points")),
      m_dateRange(QStringLiteral("Date range")),
      m_phoneShare(QStringLiteral("Send it the others' positions")),
      m_tilesLabel(QStringLiteral("Map t&iles")), m_creditLabel(QStringLiteral("Credit")),
      m_history(QStringLiteral("Keep every position (hist&ory)")),
      m_historyDaysLabel(QStringLiteral("Days")), m_historyMbLabel(QStringLiteral("Max MB")),
      m_sharesLabel(QStringLiteral("Share links")), m_shareRevoke(QStringLiteral("Re&voke")),
      m_shareUntil(QStringLiteral("Until")), m_shareCreate(QStringLiteral("Share &by link")),
      m_demo(QStringLiteral("De&mo mode")), m_statute(QStringLiteral("Statute")),
      m_metric(QStringLiteral("Metric")), m_knots(QStringLiteral("Speed in knots")),
      m_flyToLabel(QStringLiteral("Fly-to speed")),
      m_cursorSizeLabel(QStringLiteral("Cursor size")),
      m_demoSpeedLabel(QStringLiteral("Playback and demo speed")),
      m_rotationLabel(QStringLiteral("Automatic rotation")), m_web(QStringLiteral("&Web site...")),
      m_ok(QStringLiteral("OK")) {
    if (!m_timer)
        m_timer = std::make_unique<CQtTickTimer>();
    m_timer->setHandler([this] { m_logic.onTimer(); });

    setObjectName(QStringLiteral("optionsDialog"));
    setWindowTitle(QStringLiteral("Nivra Options"));
    setWindowIcon(nivraIcon());
    useNivraPalette(*this);

    std::vector<std::string> devices = serialUsbDevices();
    for (const std::string& uart : serialAnsweringUarts())
        devices.push_back(uart);
    m_logic.setDevices(devices);

    buildLayout();
    connectControls();
    setTabChain();
    m_logic.open();
    showShares();
}

COptionsDialog::~COptionsDialog() {
    m_timer->setHandler({});
}

void COptionsDialog::buildLayout() {
    // Names for tests and for finding controls.
    const std::pair<QWidget*, const char*> names[] = {
        {&m_port, "port"},
        {&m_rate, "rate"},
        {&m_flow, "flowControl"},
        {&m_gpsdServer, "gpsdServer"},
        {&m_connect, "connect"},
        {&m_disconnect, "disconnect"},
        {&m_autoConnect, "autoConnect"},
        {&m_autoFind, "autoFind"},
        {&m_status, "status"},
        {&m_logFile, "logFile"},
        {&m_logBrowse, "logBrowse"},
        {&m_play, "play"},
        {&m_stop, "stop"},
        {&m_loop, "loop"},
        {&m_record, "record"},
        {&m_stopRecord, "stopRecord"},
        {&m_continuous, "continuous"},
        {&m_recordStatus, "recordStatus"},
        {&m_ftp, "ftp"},
        {&m_server, "server"},
        {&m_debugLog, "debugLog"},
        {&m_vehicles, "vehicles"},
        {&m_name, "name"},
        {&m_host, "host"},
        {&m_new, "new"},
        {&m_delete, "delete"},
        {&m_phoneKind, "phoneKind"},
        {&m_phoneButton, "phoneButton"},
        {&m_phoneShare, "phoneShare"},
        {&m_phoneUrl, "phoneUrl"},
        {&m_land, "land"},
        {&m_air, "air"},
        {&m_visible, "visible"},
        {&m_classic, "classic"},
        {&m_image, "image"},
        {&m_model, "model"},
        {&m_cursorFile, "cursorFile"},
        {&m_cursorBrowse, "cursorBrowse"},
        {&m_color, "color"},
        {&m_speedTrack, "speedTrack"},
        {&m_extrude, "extrude"},
        {&m_timestamps, "timestamps"},
        {&m_compress, "compress"},
        {&m_maxSpeed, "maxSpeed"},
        {&m_maxPoints, "maxPoints"},
        {&m_radius, "radius"},
        {&m_dateRange, "dateRange"},
        {&m_startDate, "startDate"},
        {&m_endDate, "endDate"},
        {&m_demo, "demoMode"},
        {&m_statute, "statute"},
        {&m_metric, "metric"},
        {&m_knots, "knots"},
        {&m_flyTo, "flyToSpeed"},
        {&m_cursorSize, "cursorSize"},
        {&m_demoSpeed, "demoSpeed"},
        {&m_flyToValue, "flyToSpeedValue"},
        {&m_cursorSizeValue, "cursorSizeValue"},
        {&m_demoSpeedValue, "demoSpeedValue"},
        {&m_rotation, "rotation"},
        {&m_tiles, "globeTiles"},
        {&m_credit, "globeTilesCredit"},
        {&m_history, "history"},
        {&m_historyDays, "historyDays"},
        {&m_historyMb, "historyMaxMB"},
        {&m_shareList, "shareList"},
        {&m_shareRevoke, "shareRevoke"},
        {&m_shareWhat, "shareWhat"},
        {&m_shareUntil, "shareUntil"},
        {&m_shareUntilDate, "shareUntilDate"},
        {&m_shareCreate, "shareCreate"},
        {&m_shareText, "shareText"},
        {&m_web, "webSite"},
        {&m_ok, "ok"},
    };
    for (const auto& [w, name] : names)
        w->setObjectName(QString::fromLatin1(name));

    // GPS group.
    m_port.setEditable(true);
    m_port.setInsertPolicy(QComboBox::NoInsert);
    for (const std::string& p : m_logic.ports())
        m_port.addItem(qs(p));
    for (const char* r : kRateEntries)
        m_rate.addItem(QString::fromLatin1(r));
    for (const char* f : kFlowEntries)
        m_flow.addItem(QString::fromLatin1(f));
    m_status.setTextFormat(Qt::PlainText);
    int row = 0;
    m_gpsLayout.addWidget(&m_port, row, 0);
    m_gpsLayout.addWidget(&m_rate, row, 1);
    m_gpsLayout.addWidget(&m_flow, row++, 2);
    m_gpsdServerLabel.setBuddy(&m_gpsdServer);
    m_gpsdServer.setMaxLength(255); // the longest address gpsd can be given
    m_gpsLayout.addWidget(&m_gpsdServerLabel, row, 0);
    m_gpsLayout.addWidget(&m_gpsdServer, row++, 1, 1, 2);
    m_gpsLayout.addWidget(&m_connect, row, 0);
    m_gpsLayout.addWidget(&m_disconnect, row, 1);
    m_gpsLayout.addWidget(&m_autoConnect, row++, 2);
    m_gpsLayout.addWidget(&m_autoFind, row, 0);
    m_gpsLayout.addWidget(&m_status, row++, 1, 1, 2);
    m_gpsGroup.setLayout(&m_gpsLayout);

    // Playback and recording.
    m_logFile.setReadOnly(true);
    m_recordStatus.setTextFormat(Qt::PlainText);
    m_playChoice.addButton(&m_play);
    m_playChoice.addButton(&m_stop);
    m_recordChoice.addButton(&m_record);
    m_recordChoice.addButton(&m_stopRecord);
    row = 0;
    m_playLayout.addWidget(&m_logFile, row, 0, 1, 3);
    m_playLayout.addWidget(&m_logBrowse, row++, 3);
    m_playLayout.addWidget(&m_play, row, 0);
    m_playLayout.addWidget(&m_stop, row, 1);
    m_playLayout.addWidget(&m_loop, row++, 2);
    m_playLayout.addWidget(&m_record, row, 0);
    m_playLayout.addWidget(&m_stopRecord, row, 1);
    m_playLayout.addWidget(&m_continuous, row++, 2);
    m_playLayout.addWidget(&m_recordStatus, row++, 0, 1, 4);
    m_playGroup.setLayout(&m_playLayout);

    // Function buttons.
    m_functionLayout.addWidget(&m_ftp, 0, 0);
    m_functionLayout.addWidget(&m_server, 1, 0);
    m_functionLayout.addWidget(&m_debugLog, 2, 0);
    m_functionGroup.setLayout(&m_functionLayout);
    m_ftp.setEnabled(false);
    m_server.setEnabled(false);

    // Vehicle page.
    m_nameLabel.setBuddy(&m_name);
    m_hostLabel.setBuddy(&m_host);
    m_flyChoice.addButton(&m_land, 0);
    m_flyChoice.addButton(&m_air, 1);
    m_cursorChoice.addButton(&m_classic, 0);
    m_cursorChoice.addButton(&m_image, 1);
    m_cursorChoice.addButton(&m_model, 2);
    m_color.setEditable(true);
    m_color.setInsertPolicy(QComboBox::NoInsert);
    for (const char* c : kColorEntries)
        m_color.addItem(QString::fromLatin1(c));
    m_colorLabel.setBuddy(&m_color);
    for (const LabelBox& l : kLabelBoxes) {
        auto box = std::make_unique<QCheckBox>(QString::fromLatin1(l.caption));
        box->setObjectName(QStringLiteral("label") + QString::number(m_labels.size()));
        m_labels.push_back(std::move(box));
    }
    for (QDateEdit* d : {&m_startDate, &m_endDate}) {
        d->setCalendarPopup(true);
        d->setDateRange(QDate(1970, 1, 2), QDate(2037, 12, 31));
        d->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    }
    m_maxSpeedLabel.setBuddy(&m_maxSpeed);
    m_maxPointsLabel.setBuddy(&m_maxPoints);
    m_radiusLabel.setBuddy(&m_radius);
    row = 0;
    m_vehicleLayout.addWidget(&m_vehicles, row++, 0, 1, 4);
    m_vehicleLayout.addWidget(&m_nameLabel, row, 0);
    m_vehicleLayout.addWidget(&m_name, row++, 1, 1, 3);
    m_vehicleLayout.addWidget(&m_hostLabel, row, 0);
    m_vehicleLayout.addWidget(&m_host, row++, 1, 1, 3);
    m_vehicleLayout.addWidget(&m_new, row, 0, 1, 2);
    m_vehicleLayout.addWidget(&m_delete, row++, 2, 1, 2);
    m_vehicleLayout.addWidget(&m_land, row, 0);
    m_vehicleLayout.addWidget(&m_air, row, 1);
    m_vehicleLayout.addWidget(&m_visible, row++, 2);
    m_vehicleLayout.addWidget(&m_classic, row, 0);
    m_vehicleLayout.addWidget(&m_image, row, 1);
    m_vehicleLayout.addWidget(&m_model, row++, 2);
    m_vehicleLayout.addWidget(&m_cursorFile, row, 0, 1, 3);
    m_vehicleLayout.addWidget(&m_cursorBrowse, row++, 3);
    for (size_t i = 0; i < m_labels.size(); ++i)
        m_vehicleLayout.addWidget(m_labels[i].get(), row + static_cast<int>(i / 3),
                                  static_cast<int>(i % 3));
    row += 2;
    m_vehicleLayout.addWidget(&m_colorLabel, row, 0);
    m_vehicleLayout.addWidget(&m_color, row, 1);
    m_vehicleLayout.addWidget(&m_speedTrack, row++, 2);
    m_vehicleLayout.addWidget(&m_extrude, row, 0);
    m_vehicleLayout.addWidget(&m_timestamps, row, 1);
    m_vehicleLayout.addWidget(&m_compress, row++, 2);
    m_vehicleLayout.addWidget(&m_maxSpeedLabel, row, 0);
    m_vehicleLayout.addWidget(&m_maxSpeed, row, 1);
    m_vehicleLayout.addWidget(&m_maxPointsLabel, row, 2);
    m_vehicleLayout.addWidget(&m_maxPoints, row++, 3);
    m_vehicleLayout.addWidget(&m_radiusLabel, row, 0);
    m_vehicleLayout.addWidget(&m_radius, row++, 1);
    m_vehicleLayout.addWidget(&m_dateRange, row, 0);
    m_vehicleLayout.addWidget(&m_startDate, row, 1);
    m_vehicleLayout.addWidget(&m_endDate, row++, 2, 1, 2);
    for (const char* k : kPhoneKindEntries)
        m_phoneKind.addItem(QString::fromLatin1(k));
    m_phoneUrl.setReadOnly(true);
    m_phoneUrl.setPlaceholderText(QStringLiteral("the phone's URL shows here when a key is made"));
    m_phoneQr.setAlignment(Qt::AlignCenter);
    m_vehicleLayout.addWidget(&m_phoneKind, row, 0, 1, 2);
    m_vehicleLayout.addWidget(&m_phoneButton, row, 2);
    m_vehicleLayout.addWidget(&m_phoneShare, row++, 3);
    m_vehicleLayout.addWidget(&m_phoneUrl, row++, 0, 1, 4);
    m_vehicleLayout.addWidget(&m_phoneQr, row++, 0, 1, 4);
    m_vehicleGroup.setLayout(&m_vehicleLayout);

    // Right-hand column.
    m_unitsChoice.addButton(&m_statute, 0);
    m_unitsChoice.addButton(&m_metric, 1);
    for (const FlagBox& f : kFlagBoxes) {
        auto box = std::make_unique<QCheckBox>(QString::fromLatin1(f.caption));
        box->setObjectName(QStringLiteral("flag") + QString::number(m_flags.size()));
        m_flags.push_back(std::move(box));
    }
    setSlider(m_flyTo, kFlyToSpeedRange);
    setSlider(m_cursorSize, kCursorSizeRange);
    setSlider(m_demoSpeed, kDemoSpeedRange);
    for (const char* r : kRotationEntries)
        m_rotation.addItem(QString::fromLatin1(r));
    m_flyToLabel.setBuddy(&m_flyTo);
    m_cursorSizeLabel.setBuddy(&m_cursorSize);
    m_demoSpeedLabel.setBuddy(&m_demoSpeed);
    m_rotationLabel.setBuddy(&m_rotation);
    row = 0;
    m_rightLayout.addWidget(&m_demo, row++, 0, 1, 2);
    m_rightLayout.addWidget(&m_statute, row, 0);
    m_rightLayout.addWidget(&m_metric, row++, 1);
    m_rightLayout.addWidget(&m_knots, row++, 0, 1, 2);
    for (auto& f : m_flags)
        m_rightLayout.addWidget(f.get(), row++, 0, 1, 2);
    const struct {
        QLabel* label;
        QSlider* slider;
        QLabel* value;
    } sliders[] = {{&m_flyToLabel, &m_flyTo, &m_flyToValue},
                   {&m_cursorSizeLabel, &m_cursorSize, &m_cursorSizeValue},
                   {&m_demoSpeedLabel, &m_demoSpeed, &m_demoSpeedValue}};
    for (const auto& sl : sliders) {
        m_rightLayout.addWidget(sl.label, row++, 0, 1, 2);
        m_rightLayout.addWidget(sl.slider, row, 0);
        // The position as a number beside the slider, as wide as its largest.
        sl.value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        sl.value->setMinimumWidth(
            sl.value->fontMetrics().horizontalAdvance(QString::number(sl.slider->maximum())) + 4);
        m_rightLayout.addWidget(sl.value, row++, 1);
    }
    m_rightLayout.addWidget(&m_rotationLabel, row++, 0, 1, 2);
    m_rightLayout.addWidget(&m_rotation, row++, 0, 1, 2);
    m_rightLayout.setRowStretch(row, 1);
    m_rightGroup.setLayout(&m_rightLayout);

    // The browser globe, the history and share links.
    m_tilesLabel.setBuddy(&m_tiles);
    m_tiles.setMaxLength(static_cast<int>(kGlobeTilesMax));
    m_tiles.setPlaceholderText(
        QStringLiteral("https://…/{z}/{x}/{y}.png; empty: the globe's own map"));
    m_creditLabel.setBuddy(&m_credit);
    m_credit.setMaxLength(static_cast<int>(kGlobeAttributionMax));
    m_historyDaysLabel.setBuddy(&m_historyDays);
    m_historyMbLabel.setBuddy(&m_historyMb);
    m_sharesLabel.setBuddy(&m_shareList);
    m_shareList.setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_shareList.setMinimumContentsLength(16);
    m_shareWhat.addItem(QStringLiteral("All vehicles"));
    m_shareWhat.addItem(QStringLiteral("The shown vehicle"));
    m_shareUntilDate.setCalendarPopup(true);
    m_shareUntilDate.setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    m_shareUntilDate.setDateRange(QDate::currentDate(), QDate(9999, 12, 31));
    m_shareUntilDate.setDate(QDate::currentDate().addDays(7));
    m_shareText.setReadOnly(true);
    m_shareText.setWordWrapMode(QTextOption::WrapAnywhere);
    m_shareText.setPlaceholderText(QStringLiteral("a new link shows here, this once"));
    m_shareText.setFixedHeight(m_shareText.fontMetrics().lineSpacing() * 4 + 12);
    row = 0;
    m_globeLayout.addWidget(&m_tilesLabel, row, 0);
    m_globeLayout.addWidget(&m_tiles, row++, 1, 1, 3);
    m_globeLayout.addWidget(&m_creditLabel, row, 0);
    m_globeLayout.addWidget(&m_credit, row++, 1, 1, 3);
    m_globeLayout.addWidget(&m_history, row++, 0, 1, 4);
    m_globeLayout.addWidget(&m_historyDaysLabel, row, 0);
    m_globeLayout.addWidget(&m_historyDays, row, 1);
    m_globeLayout.addWidget(&m_historyMbLabel, row, 2);
    m_globeLayout.addWidget(&m_historyMb, row++, 3);
    m_globeLayout.addWidget(&m_sharesLabel, row, 0);
    m_globeLayout.addWidget(&m_shareList, row, 1, 1, 2);
    m_globeLayout.addWidget(&m_shareRevoke, row++, 3);
    m_globeLayout.addWidget(&m_shareWhat, row, 0, 1, 2);
    m_globeLayout.addWidget(&m_shareUntil, row, 2);
    m_globeLayout.addWidget(&m_shareUntilDate, row++, 3);
    m_globeLayout.addWidget(&m_shareCreate, row++, 0, 1, 4);
    m_globeLayout.addWidget(&m_shareText, row++, 0, 1, 4);
    m_globeGroup.setLayout(&m_globeLayout);

    // Labels whose text changes with the units keep the width of their
    // longest text, so the dialog does not change size under the user.
    const auto widest = [](QLabel& label, std::initializer_list<const char*> texts) {
        int width = 0;
        for (const char* t : texts)
            width = std::max(width, label.fontMetrics().horizontalAdvance(QString::fromLatin1(t)));
        label.setMinimumWidth(width + 2);
    };
    widest(m_maxSpeedLabel, {"Max speed (knots)", "Max speed (km/h)", "Max speed (mph)"});
    widest(m_radiusLabel, {"Marker radius (m)", "Marker radius (ft)"});

    m_scroll.setObjectName(QStringLiteral("groups"));
    m_scroll.setFrameShape(QFrame::NoFrame);
    m_scroll.setWidgetResizable(true);
    m_content.setLayout(&m_columns);
    arrangeGroups();
    m_scroll.setWidget(&m_content);
    m_scroll.viewport()->setAutoFillBackground(false);
    m_buttonRow.addStretch(1);
    m_buttonRow.addWidget(&m_web);
    m_buttonRow.addWidget(&m_ok);
    m_layout.addWidget(&m_scroll, 1);
    m_layout.addLayout(&m_buttonRow);
    setLayout(&m_layout);
    // Enter does nothing: no button is the default.
    for (QPushButton* b : findChildren<QPushButton*>()) {
        b->setAutoDefault(false);
        b->setDefault(false);
    }
    fitScreen();
}

// Three columns when the screen is wide enough (GPS, playback and functions;
// the vehicle page; the display settings), else two (the display settings
// under the first column), else one.
void COptionsDialog::arrangeGroups() {
    QGroupBox* const first[] = {&m_gpsGroup, &m_playGroup, &m_functionGroup};
    const QScreen* screen =
        parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
    const int room = screen ? screen->availableGeometry().width() : 1 << 20;
    const int spacing = m_columns.horizontalSpacing() > 0 ? m_columns.horizontalSpacing() : 6;
    int firstWidth = 0;
    for (QGroupBox* g : first)
        firstWidth = std::max(firstWidth, g->sizeHint().width());
    firstWidth = std::max(firstWidth, m_rightGroup.sizeHint().width());
    const int vehicleWidth = m_vehicleGroup.sizeHint().width();
    // The dialog's margins, a scroll bar and the window frame.
    const int extra = 2 * 11 + style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 16;
    const int three = firstWidth + vehicleWidth + m_rightGroup.sizeHint().width() + 2 * spacing;
    const int two = firstWidth + vehicleWidth + spacing;
    int row = 0;
    for (QGroupBox* g : first)
        m_columns.addWidget(g, row++, 0);
    if (three + extra <= room) {
        m_columns.addWidget(&m_globeGroup, row++, 0);
        m_columns.addWidget(&m_vehicleGroup, 0, 1, row, 1);
        m_columns.addWidget(&m_rightGroup, 0, 2, row, 1);
    } else if (two + extra <= room) {
        m_columns.addWidget(&m_rightGroup, row++, 0);
        m_columns.addWidget(&m_vehicleGroup, 0, 1, row, 1, Qt::AlignTop);
        m_columns.addWidget(&m_globeGroup, row++, 1);
    } else {
        m_columns.addWidget(&m_vehicleGroup, row++, 0);
        m_columns.addWidget(&m_rightGroup, row++, 0);
        m_columns.addWidget(&m_globeGroup, row++, 0);
    }
    m_columns.setRowStretch(row, 1);
    m_columns.setContentsMargins(0, 0, 0, 0);
}

// As large as the groups want, but no larger than the screen: what does not
// fit scrolls.
void COptionsDialog::fitScreen() {
    const QScreen* screen =
        parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    // Room for the window manager's frame and title bar.
    const QSize room = screen->availableGeometry().size() - QSize(16, 48);
    const int scrollBar = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    QSize want = sizeHint();
    const QSize content = m_content.sizeHint();
    const QSize around = want - m_scroll.sizeHint();
    want = content + around + QSize(2, 2);
    if (want.height() > room.height())
        want.rwidth() += scrollBar;
    if (want.width() > room.width())
        want.rheight() += scrollBar;
    setMinimumSize(std::min(want.width(), 360), std::min(want.height(), 240));
    resize(want.boundedTo(room));
    // A control that takes the focus (by Tab or its shortcut) comes into view.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (now && m_content.isAncestorOf(now))
            m_scroll.ensureWidgetVisible(now);
    });
}

void COptionsDialog::showSliderValues() {
    m_flyToValue.setText(QString::number(m_flyTo.value()));
    m_cursorSizeValue.setText(QString::number(m_cursorSize.value()));
    m_demoSpeedValue.setText(QString::number(m_demoSpeed.value()));
}

void COptionsDialog::connectControls() {
    using B = QAbstractButton;
    // GPS.
    connect(&m_port, &QComboBox::activated, this,
            [this](int i) { m_logic.onPort(ss(m_port.itemText(i))); });
    connect(m_port.lineEdit(), &QLineEdit::editingFinished, this, [this] {
        if (ss(m_port.currentText()) != m_logic.portShown())
            m_logic.onPort(ss(m_port.currentText()));
    });
    connect(&m_gpsdServer, &QLineEdit::editingFinished, this, [this] {
        if (ss(m_gpsdServer.text()) != m_logic.options().GpsdServer)
            m_logic.onGpsdServer(ss(m_gpsdServer.text()));
    });
    connect(&m_rate, &QComboBox::activated, this, [this](int i) { m_logic.onRate(i); });
    connect(&m_flow, &QComboBox::activated, this, [this](int i) { m_logic.onFlowControl(i); });
    connect(&m_connect, &B::clicked, this, [this] { m_logic.onConnect(); });
    connect(&m_disconnect, &B::clicked, this, [this] { m_logic.onDisconnect(); });
    connect(&m_autoConnect, &B::clicked, this, [this](bool on) { m_logic.onAutoConnect(on); });
    connect(&m_autoFind, &B::clicked, this, [this](bool on) { m_logic.onAutoFind(on); });

    // Playback and recording.
    connect(&m_logBrowse, &B::clicked, this, [this] { browseLogFile(); });
    connect(&m_play, &B::clicked, this, [this] { m_logic.onPlay(); });
    connect(&m_stop, &B::clicked, this, [this] { m_logic.onStop(); });
    connect(&m_loop, &B::clicked, this,
            [this](bool on) { m_logic.onFlag(OptionFlag::LoopPlayback, on); });
    connect(&m_record, &B::clicked, this, [this] { m_logic.onRecord(); });
    connect(&m_stopRecord, &B::clicked, this, [this] { m_logic.onStopRecord(); });
    connect(&m_continuous, &B::clicked, this, [this](bool on) { m_logic.onContinuous(on); });

    // Function buttons.
    connect(&m_ftp, &B::clicked, this, [this] { m_logic.onFtpButton(); });
    connect(&m_server, &B::clicked, this, [this] { m_logic.onServerButton(); });
    connect(&m_debugLog, &B::clicked, this, [this](bool on) { m_logic.onDebugLog(on); });

    // Vehicle page.
    connect(&m_vehicles, &QComboBox::activated, this,
            [this](int i) { m_logic.onVehiclePicked(i); });
    connect(&m_new, &B::clicked, this,
            [this] { m_logic.onNewOrAdd(ss(m_name.text()), ss(m_host.text())); });
    connect(&m_delete, &B::clicked, this, [this] { m_logic.onDeleteOrCancel(); });
    connect(&m_phoneButton, &B::clicked, this, [this] {
        if (m_logic.page().phone && !m_logic.entering())
            m_logic.onNewPhoneKey(m_phoneKind.currentIndex());
        else
            m_logic.onAddPhone(ss(m_name.text()), m_phoneKind.currentIndex());
    });
    connect(&m_phoneShare, &B::clicked, this, [this](bool on) { m_logic.onPhoneShare(on); });
    connect(&m_name, &QLineEdit::editingFinished, this,
            [this] { m_logic.onNameEdited(ss(m_name.text()), ss(m_host.text())); });
    connect(&m_flyChoice, &QButtonGroup::idClicked, this,
            [this](int id) { m_logic.onVehicleFlag(VehicleFlag::Fly, id == 1); });
    connect(&m_visible, &B::clicked, this,
            [this](bool on) { m_logic.onVehicleFlag(VehicleFlag::Visible, on); });
    connect(&m_cursorChoice, &QButtonGroup::idClicked, this,
            [this](int id) { m_logic.onCursorType(id); });
    connect(&m_cursorFile, &QLineEdit::textEdited, this,
            [this](const QString& t) { m_logic.onCursorFileEdited(ss(t)); });
    connect(&m_cursorBrowse, &B::clicked, this, [this] { browseCursorFile(); });
    for (size_t i = 0; i < m_labels.size(); ++i) {
        const VehicleFlag flag = kLabelBoxes[i].flag;
        connect(m_labels[i].get(), &B::clicked, this,
                [this, flag](bool on) { m_logic.onVehicleFlag(flag, on); });
    }
    connect(&m_color, &QComboBox::activated, this,
            [this](int i) { m_logic.onColor(ss(m_color.itemText(i))); });
    connect(m_color.lineEdit(), &QLineEdit::editingFinished, this, [this] {
        if (ss(m_color.currentText()) != m_logic.page().color)
            m_logic.onColor(ss(m_color.currentText()));
    });
    const std::pair<QCheckBox*, VehicleFlag> pageBoxes[] = {
        {&m_speedTrack, VehicleFlag::SpeedTrack},
        {&m_extrude, VehicleFlag::Extrude},
        {&m_timestamps, VehicleFlag::Timestamps},
        {&m_compress, VehicleFlag::Compress},
    };
    for (auto [box, flag] : pageBoxes) {
        const VehicleFlag f = flag;
        connect(box, &B::clicked, this, [this, f](bool on) { m_logic.onVehicleFlag(f, on); });
    }
    connect(&m_maxSpeed, &QLineEdit::editingFinished, this, [this] {
        if (ss(m_maxSpeed.text()) != m_logic.page().maxSpeed)
            m_logic.onMaxSpeed(ss(m_maxSpeed.text()));
    });
    connect(&m_maxPoints, &QLineEdit::editingFinished, this, [this] {
        if (ss(m_maxPoints.text()) != m_logic.page().maxPoints)
            m_logic.onMaxPoints(ss(m_maxPoints.text()));
    });
    connect(&m_radius, &QLineEdit::editingFinished, this, [this] {
        if (ss(m_radius.text()) != m_logic.page().radius)
            m_logic.onRadius(ss(m_radius.text()));
    });
    connect(&m_dateRange, &B::clicked, this, [this](bool on) { m_logic.onDateRange(on); });
    connect(&m_startDate, &QDateEdit::dateChanged, this,
            [this](QDate d) { m_logic.onStartDate(fromQDate(d)); });
    connect(&m_endDate, &QDateEdit::dateChanged, this,
            [this](QDate d) { m_logic.onEndDate(fromQDate(d)); });

    // Right-hand column.
    connect(&m_demo, &B::clicked, this, [this](bool on) { m_logic.onDemoMode(on); });
    connect(&m_unitsChoice, &QButtonGroup::idClicked, this,
            [this](int id) { m_logic.onUnits(id); });
    connect(&m_knots, &B::clicked, this, [this](bool on) { m_logic.onSpeedInKnots(on); });
    for (size_t i = 0; i < m_flags.size(); ++i) {
        const OptionFlag flag = kFlagBoxes[i].flag;
        connect(m_flags[i].get(), &B::clicked, this,
                [this, flag](bool on) { m_logic.onFlag(flag, on); });
    }
    connect(&m_flyTo, &QSlider::valueChanged, this, [this](int v) {
        m_logic.onSlider(Slider::FlyToSpeed, v);
        showSliderValues();
    });
    connect(&m_cursorSize, &QSlider::valueChanged, this, [this](int v) {
        m_logic.onSlider(Slider::CursorSize, v);
        showSliderValues();
    });
    connect(&m_demoSpeed, &QSlider::valueChanged, this, [this](int v) {
        m_logic.onSlider(Slider::DemoSpeed, v);
        showSliderValues();
    });
    connect(&m_rotation, &QComboBox::activated, this, [this](int i) { m_logic.onRotation(i); });
    connect(&m_web, &B::clicked, this, [this] {
        if (!QDesktopServices::openUrl(QUrl(QString::fromLatin1(kWebSite))))
            message(std::string("No web browser opened ") + kWebSite);
    });
    connect(&m_ok, &B::clicked, this, [this] { m_logic.onClose(); });

    // The browser globe, the history and share links.
    connect(&m_tiles, &QLineEdit::editingFinished, this, [this] {
        if (ss(m_tiles.text()) != m_logic.options().GlobeTiles)
            m_logic.onGlobeTiles(ss(m_tiles.text()));
    });
    connect(&m_credit, &QLineEdit::editingFinished, this, [this] {
        if (ss(m_credit.text()) != m_logic.options().GlobeTilesAttribution)
            m_logic.onGlobeTilesAttribution(ss(m_credit.text()));
    });
    connect(&m_history, &B::clicked, this, [this](bool on) { m_logic.onHistory(on); });
    connect(&m_historyDays, &QLineEdit::editingFinished, this, [this] {
        if (m_historyDays.text() != QString::number(m_logic.options().HistoryDays))
            m_logic.onHistoryDays(ss(m_historyDays.text()));
    });
    connect(&m_historyMb, &QLineEdit::editingFinished, this, [this] {
        if (m_historyMb.text() != QString::number(m_logic.options().HistoryMaxMB))
            m_logic.onHistoryMaxMB(ss(m_historyMb.text()));
    });
    connect(&m_shareUntil, &B::clicked, this, [this](bool on) { m_shareUntilDate.setEnabled(on); });
    connect(&m_shareCreate, &B::clicked, this, [this] { createShare(); });
    connect(&m_shareRevoke, &B::clicked, this, [this] { revokeShare(); });
}

// Tab walks the groups top to bottom, left to right, as they are read.
void COptionsDialog::setTabChain() {
    std::vector<QWidget*> chain = {
        &m_port,        &m_gpsdServer, &m_rate,       &m_flow,  &m_connect, &m_disconnect,
        &m_autoConnect, &m_autoFind,   &m_logBrowse,  &m_play,  &m_stop,    &m_loop,
        &m_record,      &m_stopRecord, &m_continuous, &m_ftp,   &m_server,  &m_debugLog,
        &m_vehicles,    &m_name,       &m_host,       &m_new,   &m_delete,  &m_land,
        &m_air,         &m_visible,    &m_classic,    &m_image, &m_model,   &m_cursorFile,
        &m_cursorBrowse};
    for (auto& l : m_labels)
        chain.push_back(l.get());
    for (QWidget* w : std::initializer_list<QWidget*>{
             &m_color, &m_speedTrack, &m_extrude, &m_timestamps, &m_compress, &m_maxSpeed,
             &m_maxPoints, &m_radius, &m_dateRange, &m_startDate, &m_endDate, &m_phoneKind,
             &m_phoneButton, &m_phoneShare, &m_phoneUrl, &m_demo, &m_statute, &m_metric, &m_knots})
        chain.push_back(w);
    for (auto& f : m_flags)
        chain.push_back(f.get());
    for (QWidget* w : std::initializer_list<QWidget*>{
             &m_flyTo, &m_cursorSize, &m_demoSpeed, &m_rotation, &m_tiles, &m_credit, &m_history,
             &m_historyDays, &m_historyMb, &m_shareList, &m_shareRevoke, &m_shareWhat,
             &m_shareUntil, &m_shareUntilDate, &m_shareCreate, &m_shareText, &m_web, &m_ok})
        chain.push_back(w);
    for (QWidget* w : chain)
        w->setFocusPolicy(Qt::StrongFocus);
    for (size_t i = 1; i < chain.size(); ++i)
        QWidget::setTabOrder(chain[i - 1], chain[i]);
}

void COptionsDialog::refresh() {
    const COptionsDlg& o = m_logic.options();
    // Only these report changes the program makes; the rest report clicks.
    const QSignalBlocker q1(m_flyTo), q2(m_cursorSize), q3(m_demoSpeed), q4(m_startDate),
        q5(m_endDate);

    // GPS.
    m_port.setEditText(qs(m_logic.portShown()));
    m_gpsdServer.setText(qs(o.GpsdServer));
    m_gpsdServer.setEnabled(m_logic.gpsdServerEditable());
    m_gpsdServerLabel.setEnabled(m_logic.gpsdServerEditable());
    m_rate.setCurrentIndex(m_rate.findText(qs(o.Rate)));
    m_flow.setCurrentIndex(o.FlowControl >= 0 && o.FlowControl < m_flow.count() ? o.FlowControl
                                                                                : -1);
    m_autoConnect.setChecked(o.AutoConnect != 0);
    m_autoFind.setChecked(o.AutoFind != 0);
    m_status.setText(qs(m_logic.status()));

    // Playback and recording.
    m_logFile.setText(qs(o.LogFile));
    const bool playable = m_logic.playbackEnabled();
    for (QWidget* w : std::initializer_list<QWidget*>{&m_play, &m_stop, &m_loop, &m_logBrowse})
        w->setEnabled(playable);
    (m_logic.playOn() ? m_play : m_stop).setChecked(true);
    m_loop.setChecked(o.LoopPlayback != 0);
    m_record.setEnabled(m_logic.recordEnabled());
    m_stopRecord.setEnabled(m_logic.recordEnabled());
    (m_logic.recordOn() ? m_record : m_stopRecord).setChecked(true);
    m_continuous.setChecked(o.ContinuousLog != 0);
    m_recordStatus.setText(qs(m_logic.recordStatus()));

    // Function buttons.
    m_server.setText(
        qs(m_logic.serverCaption()).replace(QStringLiteral("Setup"), QStringLiteral("S&etup")));
    m_web.setVisible(m_logic.webSiteShown());
    m_debugLog.setChecked(o.debugLogging != 0);

    showPage();

    // Right-hand column.
    m_demo.setChecked(o.DemoMode != 0);
    (o.Units == 1 ? m_metric : m_statute).setChecked(true);
    m_knots.setChecked(o.SpeedInKnots != 0);
    for (size_t i = 0; i < m_flags.size(); ++i)
        m_flags[i]->setChecked(m_logic.flag(kFlagBoxes[i].flag));
    m_flyTo.setValue(m_logic.slider(Slider::FlyToSpeed));
    m_cursorSize.setValue(m_logic.slider(Slider::CursorSize));
    m_demoSpeed.setValue(m_logic.slider(Slider::DemoSpeed));
    showSliderValues();
    m_rotation.setCurrentIndex(o.AutoHdg >= 0 && o.AutoHdg < m_rotation.count() ? o.AutoHdg : -1);

    // The browser globe and the history.
    m_tiles.setText(qs(o.GlobeTiles));
    m_credit.setText(qs(o.GlobeTilesAttribution));
    m_history.setChecked(o.History != 0);
    m_historyDays.setText(QString::number(o.HistoryDays));
    m_historyMb.setText(QString::number(o.HistoryMaxMB));
    for (QWidget* w : std::initializer_list<QWidget*>{&m_historyDays, &m_historyMb,
                                                      &m_historyDaysLabel, &m_historyMbLabel})
        w->setEnabled(o.History != 0);
    m_shareWhat.setItemText(1, m_logic.page().loaded
                                   ? QStringLiteral("Only ") + qs(m_logic.shownVehicleKey())
                                   : QStringLiteral("The shown vehicle"));
}

// The links made so far, newest last; the list says when the file is damaged.
void COptionsDialog::showShares() {
    m_shares.reload();
    m_shareList.clear();
    for (const std::string& r : m_shares.rows())
        m_shareList.addItem(qs(r), qs(r.substr(0, kShareIdChars)));
    if (!m_shares.problem().empty())
        m_shareList.addItem(qs(m_shares.problem()));
    else if (m_shares.links().empty())
        m_shareList.addItem(QStringLiteral("none"));
    m_shareList.setCurrentIndex(m_shareList.count() - 1);
    m_shareRevoke.setEnabled(!m_shares.links().empty());
    m_shareUntilDate.setEnabled(m_shareUntil.isChecked());
}

void COptionsDialog::createShare() {
    std::vector<std::string> vehicles;
    if (m_shareWhat.currentIndex() == 1) {
        const std::string key = m_logic.shownVehicleKey();
        if (key.empty()) {
            message("Pick the vehicle to share first.");
            return;
        }
        vehicles.push_back(key);
    }
    const std::string until =
        m_shareUntil.isChecked() ? ss(m_shareUntilDate.date().toString(Qt::ISODate)) : "";
    std::string text;
    const bool made = m_shares.create(vehicles, until, text);
    showShares();
    if (!made) {
        m_shareText.clear();
        message("No share link was made: " + text);
        return;
    }
    m_shareText.setPlainText(qs(text));
}

void COptionsDialog::revokeShare() {
    const QString id = m_shareList.currentData().toString();
    if (id.isEmpty())
        return;
    std::string text;
    const bool done = m_shares.revoke(ss(id), text);
    showShares();
    m_shareText.setPlainText(qs(text));
    if (!done)
        message(text);
}

void COptionsDialog::showStatus(const std::string& text) {
    m_status.setText(qs(text));
}

void COptionsDialog::showPhone(const VehiclePage& p, bool entering) {
    // A new vehicle may become a phone; a phone may get a new key.
    const bool newKey = p.phone && !entering;
    m_phoneButton.setText(QString::fromLatin1(newKey ? "New &key" : "Add p&hone"));
    m_phoneButton.setEnabled(entering || newKey);
    m_phoneKind.setEnabled(entering || newKey);
    m_phoneShare.setEnabled(newKey);
    m_phoneShare.setChecked(p.phoneShare);
    m_phoneUrl.setText(qs(p.phoneUrl));
    m_phoneUrl.setEnabled(!p.phoneUrl.empty()); // there to be copied once a key is made
    if (p.phoneQr.empty()) {
        m_phoneQr.clear();
        m_phoneQr.setVisible(false);
        return;
    }
    // Four pixels a module and a quiet zone of four modules.
    constexpr int kScale = 4, kQuiet = 4;
    const int w = static_cast<int>(p.phoneQr.size());
    QImage image((w + 2 * kQuiet) * kScale, (w + 2 * kQuiet) * kScale, QImage::Format_RGB32);
    image.fill(Qt::white);
    for (int y = 0; y < w; ++y)
        for (int x = 0; x < w; ++x)
            if (p.phoneQr[static_cast<size_t>(y)][static_cast<size_t>(x)])
                for (int dy = 0; dy < kScale; ++dy)
                    for (int dx = 0; dx < kScale; ++dx)
                        image.setPixel((x + kQuiet) * kScale + dx, (y + kQuiet) * kScale + dy,
                                       qRgb(0, 0, 0));
    m_phoneQr.setPixmap(QPixmap::fromImage(image));
    m_phoneQr.setVisible(true);
}

void COptionsDialog::showPage() {
    const COptionsDlg& o = m_logic.options();
    const VehiclePage& p = m_logic.page();
    const bool entering = m_logic.entering();

    if (entering)
        m_vehicles.showEntries({kNewEntry}, 0);
    else
        m_vehicles.showEntries(m_logic.selector().entries(), m_logic.selector().current());
    m_vehicles.setEnabled(!entering);
    m_new.setText(QString::fromLatin1(entering ? "&Add" : "&New"));
    m_delete.setText(QString::fromLatin1(entering ? "Cance&l" : "De&lete"));
    m_delete.setEnabled(entering || (p.loaded && !p.local));
    m_name.setEnabled(entering || p.local);
    m_host.setEnabled(entering);
    m_name.setText(qs(p.name));
    m_host.setText(qs(p.host));

    // The vehicle's own controls wait while a new one is entered.
    const bool fields = p.loaded && !entering;
    for (QWidget* w : std::initializer_list<QWidget*>{
             &m_land, &m_air, &m_visible, &m_classic, &m_image, &m_model, &m_speedTrack, &m_extrude,
             &m_timestamps, &m_compress, &m_maxSpeed, &m_maxPoints, &m_radius, &m_dateRange,
             &m_startDate, &m_endDate})
        w->setEnabled(fields);
    for (auto& l : m_labels)
        l->setEnabled(fields);
    showPhone(p, entering);

    (m_logic.vehicleFlag(VehicleFlag::Fly) ? m_air : m_land).setChecked(true);
    m_visible.setChecked(m_logic.vehicleFlag(VehicleFlag::Visible));
    QRadioButton* cursor[] = {&m_classic, &m_image, &m_model};
    cursor[std::clamp(p.cursorType, 0, 2)]->setChecked(true);
    const bool fileCursor = fields && p.cursorType != 0;
    m_cursorFile.setEnabled(fileCursor);
    m_cursorBrowse.setEnabled(fileCursor);
    m_cursorFile.setText(qs(p.cursorFile));
    for (size_t i = 0; i < m_labels.size(); ++i)
        m_labels[i]->setChecked(m_logic.vehicleFlag(kLabelBoxes[i].flag));
    const int colorIndex = m_color.findText(qs(p.color), Qt::MatchFixedString);
    m_color.setCurrentIndex(colorIndex);
    m_color.setEditText(qs(p.color)); // a colour outside the list shows as text
    m_speedTrack.setChecked(m_logic.vehicleFlag(VehicleFlag::SpeedTrack));
    m_extrude.setChecked(m_logic.vehicleFlag(VehicleFlag::Extrude));
    m_timestamps.setChecked(m_logic.vehicleFlag(VehicleFlag::Timestamps));
    m_compress.setChecked(m_logic.vehicleFlag(VehicleFlag::Compress));

    const char* speedUnit = o.SpeedInKnots ? "knots" : o.Units == 1 ? "km/h" : "mph";
    m_maxSpeedLabel.setText(QStringLiteral("Max speed (%1)").arg(QString::fromLatin1(speedUnit)));
    m_maxPointsLabel.setText(QStringLiteral("Max points"));
    m_radiusLabel.setText(QStringLiteral("Marker radius (%1)")
                              .arg(o.Units == 1 ? QStringLiteral("m") : QStringLiteral("ft")));
    m_maxSpeed.setText(qs(p.maxSpeed));
    m_maxPoints.setText(qs(p.maxPoints));
    m_radius.setText(qs(p.radius));
    m_dateRange.setChecked(m_logic.dateRangeOn());
    m_startDate.setDate(toQDate(p.startDate));
    m_endDate.setDate(toQDate(p.endDate));
}

void COptionsDialog::browseLogFile() {
    QString start = qs(m_logic.logPickerFolder());
    const std::string file = m_logic.logPickerFile();
    if (!file.empty())
        start = file.find('/') == std::string::npos && !start.isEmpty()
                    ? start + QStringLiteral("/") + qs(file)
                    : qs(file);
    const QString path =
        QFileDialog::getOpenFileName(this, QStringLiteral("Play NMEA log"), start,
                                     QStringLiteral("NMEA Log Files (*.nme);;All Files (*)"));
    m_logic.onLogFilePicked(ss(path));
}

void COptionsDialog::browseCursorFile() {
    QString start = qs(m_logic.cursorPickerFolder());
    const QString file = m_cursorFile.text().trimmed();
    if (!file.isEmpty())
        start = file.contains(QLatin1Char('/')) || start.isEmpty()
                    ? file
                    : start + QStringLiteral("/") + file;
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Cursor file"), start,
                                                      qs(m_logic.cursorPickerFilter()));
    m_logic.onCursorFilePicked(ss(path));
}

void COptionsDialog::message(const std::string& text) {
    // Over this dialog, which is modal: a box owned by the main window would
    // open under it.
    showMessageOver(this, "Nivra", text);
}

void COptionsDialog::focusName() {
    m_name.setFocus(Qt::OtherFocusReason);
}

void COptionsDialog::setTimer(unsigned periodMs) {
    m_timer->start(periodMs);
}

void COptionsDialog::endDialog() {
    if (m_ended)
        return;
    m_ended = true;
    done(QDialog::Accepted);
}

void COptionsDialog::setFtpDialog(std::function<bool()> run) {
    m_ftpDialog = std::move(run);
    m_ftp.setEnabled(static_cast<bool>(m_ftpDialog));
}

void COptionsDialog::setServerDialog(std::function<bool(bool)> run) {
    m_serverDialog = std::move(run);
    m_server.setEnabled(static_cast<bool>(m_serverDialog));
}

bool COptionsDialog::runFtpDialog() {
    return m_ftpDialog ? m_ftpDialog() : false;
}

bool COptionsDialog::runExternalServerDialog(bool mapFactor) {
    return m_serverDialog ? m_serverDialog(mapFactor) : false;
}

void COptionsDialog::reject() {
    m_logic.onClose();
}

void COptionsDialog::closeEvent(QCloseEvent* event) {
    if (!m_ended)
        m_logic.onClose();
    event->accept();
}
