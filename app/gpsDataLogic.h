// The GPS data window's logic, CGpsDataDlg's rules without a window: the one
// line of speed, altitude and heading of the local vehicle, the title with the
// time of its newest track point, the 2 s refresh, where the window goes at
// creation (never out of the user's sight) and the four settings that
// remember its rectangle, and the close command that clears ShowGpsData.
// A front end implements CGpsDataView; all of it runs on the user-interface
// thread.
#pragma once

#include "sources/gpsdReports.h"
#include "track/nmea.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class COptionsDlg;
class CClients;

inline constexpr const char* kGpsDataTemplateText = "000.0 MPH    0000.0 FT    000.0 deg";
inline constexpr const char* kGpsDataTitle = "Nivra GPS Data - ";
constexpr unsigned kGpsDataTickMs = 2000;

// A screen rectangle; right and bottom lie just outside it.
struct WindowRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
    bool operator==(const WindowRect&) const = default;
};

// " 12.3 mph   1234.6 ft   270.0 deg": knots before metric for the speed;
// the altitude follows Units alone.
std::string gpsDataText(const GpsFix& position, int32_t speedInKnots, int32_t units);
// What gpsd says of the receiver, to follow that line: "   3D fix, 8 of 11
// satellites"; the parts gpsd has not reported are left out, and nothing
// at all without gpsd.
std::string gpsdStatusText(const GpsdStatus& status);
// "Nivra GPS Data - " and the newest point's time "mm/dd/yy hh:mm" (local
// time); nothing after the dash for a time of 0.
std::string gpsDataTitle(int64_t newestPointTime);

// Where the window goes at creation. `stored` is GpsDataLeft/Top/Right/
// Bottom; a right edge of 0 (first start) or a size of zero or less keeps the
// window's own size `ownWidth` × `ownHeight`, and no screen makes it larger
// than the largest screen. `screens` are the usable areas of the screens,
// the main one first. A window whose middle lies on no screen (a screen that
// is gone, a corrupt setting) starts at the main screen's top-left corner.
// When nothing has been stored yet (all four 0) the window goes beside
// `mainWindow` (the main window's frame, when known): right of it, or below
// it when the screen has no room on the right, so that neither covers the
// other (both would start at the screen's corner).
WindowRect placeGpsData(const WindowRect& stored, int ownWidth, int ownHeight,
                        const std::vector<WindowRect>& screens, const WindowRect& mainWindow = {});

class CGpsDataView {
public:
    virtual ~CGpsDataView() = default;
    // Top-most at the rectangle's corner with its size.
    virtual void place(const WindowRect& rect) = 0;
    virtual void showWindow(bool show) = 0;
    virtual void setText(const std::string& text) = 0;
    virtual void setTitle(const std::string& title) = 0;
    // (Re)starts the timer: the next onTimer() comes `periodMs` from now.
    virtual void setTimer(unsigned periodMs) = 0;
};

class CGpsDataLogic {
public:
    // What gpsd reports of the receiver (none: nothing to show).
    using GpsdStatusSource = std::function<GpsdStatus()>;

    CGpsDataLogic(CGpsDataView& view, COptionsDlg& options, CClients& clients,
                  GpsdStatusSource gpsd = nullptr);

    // Creation: starts the timer, places the window and shows it when
    // ShowGpsData is set. The other arguments are as for placeGpsData.
    void create(int ownWidth, int ownHeight, const std::vector<WindowRect>& screens,
                const WindowRect& mainWindow = {});
    // Timer 2: re-arms itself and shows the local vehicle's data.
    void onTimer();
    // The window moved or changed size; only a visible, normal window's
    // rectangle is remembered.
    void onMoved(const WindowRect& rect, bool visible, bool minimized);
    // The close box: ShowGpsData goes off and the window hides (it stays
    // alive; the options dialog can show it again).
    void onClose();
    // The main window after the options dialog: shows or hides by ShowGpsData.
    void applyShowSetting();

    const std::string& text() const { return m_text; }
    const std::string& title() const { return m_title; }

private:
    CGpsDataView& m_view;
    COptionsDlg& m_o;
    CClients& m_clients;
    GpsdStatusSource m_gpsd;
    std::string m_text = kGpsDataTemplateText;
    std::string m_title;
};
