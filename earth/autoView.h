// The automatic view: while the camera follows a vehicle, its heading turns
// with the course and its range and tilt follow the speed through a small
// table of speed bands. The table can be replaced by "AutoView.cfg" (or
// "AutoZoom.cfg") in the start directory, which may also name a model or icon
// to draw at the local vehicle for each band.
//
// The table is process-wide and replaced as a whole on every reload: readers
// take a snapshot (a shared pointer to an immutable table), so a reload on one
// thread never tears a read on another.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class CClient;

// One band of the view table.
struct ViewBand {
    int32_t speed = 0; // lower speed of the band, mph
    int32_t range = 0; // feet; negative: fixed at the absolute value
    int32_t tilt = 0;  // degrees; negative: fixed at the absolute value
    double scale = 0;  // model or icon scale; negative: proportional to the range
    std::string model; // empty, a ".dae" model link or an icon image link
};

constexpr int kViewBandMax = 32;          // rows beyond this are ignored
constexpr size_t kViewModelMax = 127;     // characters kept of a model text
constexpr size_t kAutoViewReadMax = 8191; // bytes read of the file

struct ViewTable {
    std::array<ViewBand, kViewBandMax> rows;
    int count = 0;
    int circle = 0;           // read and bounded, no other effect
    int smoothing = 0;        // mph of hysteresis, 0..30
    double rotateMinimum = 0; // knots below which the heading is left alone

    const ViewBand& last() const { return rows[count - 1]; }
};

// The built-in table: 0/-1000/70, 5/800/70, 20/3000/50, 50/3000/45.
ViewTable defaultViewTable();

// Builds a table from the text of a view file over the defaults. Pure.
ViewTable parseAutoView(std::string_view text);

// Rebuilds the process-wide table from "AutoView.cfg" or "AutoZoom.cfg" in
// the start directory (the defaults when neither exists) and returns it.
std::shared_ptr<const ViewTable> loadAutoView();

// The current process-wide table (the defaults until the first load).
std::shared_ptr<const ViewTable> autoViewTable();

// Index of the first row whose speed reaches the speed (knots, as whole mph,
// at least 1), or -1 when no row does.
int speedBand(const ViewTable& table, double knots);
int speedBand(double knots);

struct RangeTilt {
    double range; // metres
    double tilt;  // degrees
};

// Range and tilt for the vehicle's display speed; updates its band.
RangeTilt autoRangeTilt(CClient& vehicle, const ViewTable& table);
RangeTilt autoRangeTilt(CClient& vehicle);

// Applies the vehicle's tracking bits to its camera view (heading, range, tilt).
void computeView(CClient& vehicle, const ViewTable& table);
void computeView(CClient& vehicle);

// The <LookAt> element of a standalone document; empty when the vehicle's
// tracking is 0.
std::string lookAtElement(CClient& vehicle, const ViewTable& table);
std::string lookAtElement(CClient& vehicle);
