#include "app/gpsDataLogic.h"

#include "app/OptionsDlg.h"
#include "earth/kml.h"
#include "remote/client.h"
#include "trace/trace.h"
#include "track/track.h"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace {

constexpr double kKmhPerKnot = 1.852;
constexpr double kMphPerKnot = 1.1507794480235425;
constexpr double kFeetPerMetre = 3.2808;
// No desktop is larger than this many pixels in any direction.
constexpr int kMaxSide = 1000000;

std::string format(const char* fmt, double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, value);
    return buf;
}

bool centreOnAScreen(const WindowRect& r, const std::vector<WindowRect>& screens) {
    const int cx = r.left + r.width() / 2;
    const int cy = r.top + r.height() / 2;
    return std::any_of(screens.begin(), screens.end(), [&](const WindowRect& s) {
        return cx >= s.left && cx < s.right && cy >= s.top && cy < s.bottom;
    });
}

// Beside `main` on the screen that holds it: right of it, else below it;
// nothing when neither fits.
std::optional<WindowRect> besideMainWindow(const WindowRect& main, int width, int height,
                                           const std::vector<WindowRect>& screens) {
    constexpr int kGap = 8;
    for (const WindowRect& s : screens) {
        if (!centreOnAScreen(main, {s}))
            continue;
        const WindowRect right{main.right + kGap, main.top, main.right + kGap + width,
                               main.top + height};
        if (right.right <= s.right && right.bottom <= s.bottom)
            return right;
        // Below, moved left as far as the screen's right edge asks.
        const int left = std::max(s.left, std::min(main.left, s.right - width));
        const WindowRect below{left, main.bottom + kGap, left + width, main.bottom + kGap + height};
        if (below.right <= s.right && below.bottom <= s.bottom)
            return below;
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace

std::string gpsDataText(const GpsFix& position, int32_t speedInKnots, int32_t units) {
    std::string text;
    if (speedInKnots)
        text = format(" %.1lf kt", position.spd);
    else if (units)
        text = format(" %.1lf km/h", position.spd * kKmhPerKnot);
    else
        text = format(" %.1lf mph", position.spd * kMphPerKnot);
    text += "   ";
    text +=
        units ? format("%.1lf m", position.alt) : format("%.1lf ft", position.alt * kFeetPerMetre);
    text += format("   %.1lf deg", position.hdg);
    return text;
}

std::string gpsdStatusText(const GpsdStatus& status) {
    std::string parts;
    auto add = [&](const std::string& part) {
        parts += parts.empty() ? "" : ", ";
        parts += part;
    };
    if (status.mode >= 0)
        add(status.mode < 2 ? "no fix" : std::to_string(status.mode) + "D fix");
    if (status.used >= 0 && status.seen >= 0)
        add(std::to_string(status.used) + " of " + std::to_string(status.seen) + " satellites");
    else if (status.used >= 0)
        add(std::to_string(status.used) + " satellites");
    else if (status.seen >= 0)
        add(std::to_string(status.seen) + " satellites in view");
    return parts.empty() ? parts : "   " + parts;
}

std::string gpsDataTitle(int64_t newestPointTime) {
    return kGpsDataTitle + formatFixTime(newestPointTime);
}

WindowRect placeGpsData(const WindowRect& stored, int ownWidth, int ownHeight,
                        const std::vector<WindowRect>& screens, const WindowRect& mainWindow) {
    // The settings may hold anything: compute the size where it cannot overflow.
    int64_t width = int64_t{stored.right} - stored.left;
    int64_t height = int64_t{stored.bottom} - stored.top;
    if (stored.right == 0 || width <= 0 || height <= 0) {
        width = ownWidth;
        height = ownHeight;
    }
    int64_t maxWidth = kMaxSide;
    int64_t maxHeight = kMaxSide;
    if (!screens.empty()) {
        maxWidth = maxHeight = 0;
        for (const WindowRect& s : screens) {
            maxWidth = std::max<int64_t>(maxWidth, s.width());
            maxHeight = std::max<int64_t>(maxHeight, s.height());
        }
    }
    width = std::clamp<int64_t>(width, 1, std::max<int64_t>(maxWidth, 1));
    height = std::clamp<int64_t>(height, 1, std::max<int64_t>(maxHeight, 1));
    const bool nothingStored = stored == WindowRect{};
    if (nothingStored && mainWindow.width() > 0 && mainWindow.height() > 0) {
        if (std::optional<WindowRect> beside = besideMainWindow(mainWindow, static_cast<int>(width),
                                                                static_cast<int>(height), screens))
            return *beside;
    }
    WindowRect place;
    // Far-off corners would overflow the right edge below.
    place.left = std::clamp(stored.left, -kMaxSide, kMaxSide);
    place.top = std::clamp(stored.top, -kMaxSide, kMaxSide);
    place.right = place.left + static_cast<int>(width);
    place.bottom = place.top + static_cast<int>(height);
    if (!screens.empty() && !centreOnAScreen(place, screens)) {
        NTRACE("GPS data window at %d,%d is on no screen: placed on the main screen", place.left,
               place.top);
        place = {screens[0].left, screens[0].top, screens[0].left + static_cast<int>(width),
                 screens[0].top + static_cast<int>(height)};
    }
    return place;
}

CGpsDataLogic::CGpsDataLogic(CGpsDataView& view, COptionsDlg& options, CClients& clients,
                             GpsdStatusSource gpsd)
    : m_view(view), m_o(options), m_clients(clients), m_gpsd(std::move(gpsd)),
      m_title(gpsDataTitle(0)) {}

void CGpsDataLogic::create(int ownWidth, int ownHeight, const std::vector<WindowRect>& screens,
                           const WindowRect& mainWindow) {
    m_view.setTimer(kGpsDataTickMs);
    const WindowRect stored{m_o.GpsDataLeft, m_o.GpsDataTop, m_o.GpsDataRight, m_o.GpsDataBottom};
    m_view.setText(m_text);
    m_view.setTitle(m_title);
    m_view.place(placeGpsData(stored, ownWidth, ownHeight, screens, mainWindow));
    m_view.showWindow(m_o.ShowGpsData != 0);
}

void CGpsDataLogic::onTimer() {
    m_view.setTimer(kGpsDataTickMs);
    CClient* local = m_clients.localVehicle();
    if (!local)
        return;
    GpsFix position;
    int64_t newest = 0;
    {
        // The position and the newest point are written by the intake and
        // the demo under this lock.
        TrackLockGuard lock;
        if (!lock.ok())
            return;
        position = local->displayPosition();
        if (const TrackPoint* p = local->track.point(0))
            newest = p->time;
    }
    m_text = gpsDataText(position, m_o.SpeedInKnots, m_o.Units);
    if (m_gpsd)
        m_text += gpsdStatusText(m_gpsd());
    m_title = gpsDataTitle(newest);
    m_view.setTitle(m_title);
    m_view.setText(m_text);
}

void CGpsDataLogic::onMoved(const WindowRect& rect, bool visible, bool minimized) {
    if (!visible || minimized)
        return;
    m_o.GpsDataLeft = rect.left;
    m_o.GpsDataTop = rect.top;
    m_o.GpsDataRight = rect.right;
    m_o.GpsDataBottom = rect.bottom;
}

void CGpsDataLogic::onClose() {
    m_o.ShowGpsData = 0;
    m_view.showWindow(false);
}

void CGpsDataLogic::applyShowSetting() {
    m_view.showWindow(m_o.ShowGpsData != 0);
}
