// Decoding the lines hardware trackers post: one decoder per model, with a
// real sample line above each.
#include "track/intake.h"

#include "track/nmea.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace {

std::string_view cut(std::string_view text, size_t max) {
    return text.substr(0, max);
}

// Where the first sentence of a talker ("$" and two capitals) begins at or
// after `from`, or npos.
size_t findTalkerSentence(std::string_view line, size_t from) {
    for (size_t at = line.find('$', from); at != std::string_view::npos;
         at = line.find('$', at + 1))
        if (hasNmeaTalker(line.substr(at)))
            return at;
    return std::string_view::npos;
}

// "imei=352024020000000&rmc=$GPRMC,053740.000,A,2503.6319,N,12136.0099,E,2.69,79.65,100106,,,A*53,AUTO"
// The unit posts a web form; the identifier is the first field's value and
// the sentence follows in a later field.
bool decodeSanav(std::string_view line, TrackerMessage& out) {
    size_t eq = line.find('=');
    size_t amp = eq == std::string_view::npos ? eq : line.find('&', eq + 1);
    if (amp == std::string_view::npos)
        return false;
    size_t g = findTalkerSentence(line, amp + 1);
    if (g == std::string_view::npos)
        return false;
    out.identifier = cut(line.substr(eq + 1, amp - eq - 1), kDeviceTextMax);
    out.sentence = line.substr(g);
    return true;
}

// The Laipac units' label. It looks like a talker's RMC ("AV"), but what
// follows it is the unit's id, not a time.
constexpr std::string_view kLaipacLabel = "$AVRMC";

// "$AVRMC,80000551,144049,A,4351.3853,N,07923.5408,W,0.00,0.00,010907,0,0,0*6D"
// An RMC sentence under its own label with the unit's id as the first field.
// The relabelled sentence is "$GPRMC" followed by everything from the second
// ',' on (the fields after the identifier): "$GPRMC" takes the place of the
// six characters just before that ','. The unit's checksum covered its own
// label and id, so a fresh one replaces it.
bool decodeLaipac(std::string_view line, TrackerMessage& out) {
    size_t first = line.find(',');
    size_t second = first == std::string_view::npos ? first : line.find(',', first + 1);
    if (second == std::string_view::npos)
        return false;
    out.identifier = cut(line.substr(first + 1, second - first - 1), kDeviceTextMax);
    out.sentence = "$GPRMC";
    out.sentence.append(line.substr(second));
    refreshChecksum(out.sentence);
    return true;
}

// A binary frame: "$$", a 16-bit big-endian length of the whole frame, the
// unit's phone number as 7 BCD bytes (offsets 4-10, padded with 0xF), a 16-bit
// command (11-12), then the RMC fields from offset 13 without their label,
// followed by the frame's own checksum and "\r\n".
bool decodeFpi(std::string_view line, TrackerMessage& out) {
    if (line.size() < 4)
        return false;
    // Each length byte is taken as signed, as the units' own firmware does;
    // lengths outside 30..100 are not position frames.
    int length = int(static_cast<int8_t>(line[2])) * 256 + int(static_cast<int8_t>(line[3]));
    if (length < 30 || length > 100)
        return false;
    line = line.substr(0, size_t(length));
    constexpr size_t kIdAt = 4, kIdBytes = 7, kFieldsAt = 13;
    if (line.size() <= kFieldsAt)
        return false;
    // Each byte as "%2x" of its unsigned value: two lower-case hex digits, a
    // blank before a single one. The 14 characters are cut to 13.
    static constexpr char kHex[] = "0123456789abcdef";
    std::string id;
    for (size_t i = 0; i < kIdBytes; ++i) {
        auto b = static_cast<unsigned char>(line[kIdAt + i]);
        id += b >> 4 ? kHex[b >> 4] : ' ';
        id += kHex[b & 15];
    }
    out.identifier = id.substr(0, 2 * kIdBytes - 1);
    out.sentence = "$GPRMC,";
    out.sentence.append(line.substr(kFieldsAt));
    refreshChecksum(out.sentence);
    return true;
}

// "Car 7@unit42:$GPRMC,..." - a poster that names itself: model before the
// '@', identifier up to the ':', the sentence after it.
bool decodeNamed(std::string_view line, TrackerMessage& out) {
    size_t at = line.find('@');
    size_t colon = line.find(':', at + 1);
    size_t g = findTalkerSentence(line, colon + 1);
    if (g == std::string_view::npos)
        return false;
    out.model = cut(line.substr(0, at), kDeviceTextMax);
    out.identifier = cut(line.substr(at + 1, colon - at - 1), kDeviceTextMax);
    out.sentence = line.substr(g);
    return true;
}

bool hasNamedForm(std::string_view line) {
    size_t at = line.find('@');
    return at != std::string_view::npos && line.find(':', at + 1) != std::string_view::npos;
}

struct DeviceRow {
    const char* model; // nullptr: the poster names itself
    bool (*recognise)(std::string_view line);
    bool (*decode)(std::string_view line, TrackerMessage& out);
};

// Tried in this order; the first row that recognises a line decides it.
const DeviceRow kDevices[] = {
    {"SANAV GC101", [](std::string_view l) { return l.find("imei=") != std::string_view::npos; },
     decodeSanav},
    {"Laipac S-911",
     [](std::string_view l) { return l.find(kLaipacLabel) != std::string_view::npos; },
     decodeLaipac},
    {"FPI GT20", [](std::string_view l) { return l.starts_with("$$"); }, decodeFpi},
    {nullptr, hasNamedForm, decodeNamed},
};

} // namespace

void refreshChecksum(std::string& sentence) {
    size_t star = sentence.find('*');
    if (sentence.size() <= 12 || star == std::string::npos)
        return;
    sentence.resize(star);
    char sum[8];
    std::snprintf(sum, sizeof sum, "*%.2X", nmeaChecksum(sentence.c_str()) & 0xff);
    sentence += sum;
}

bool decodeTrackerLine(std::string_view line, TrackerMessage& out) {
    for (const DeviceRow& row : kDevices) {
        if (!row.recognise(line))
            continue;
        if (row.model)
            out.model = row.model;
        if (!row.decode(line, out))
            return false;
        // A vehicle needs a name and an identity to be told apart.
        return !out.model.empty() && !out.identifier.empty();
    }
    return false;
}

bool isLocalGpsLine(std::string_view line) {
    return hasNmeaTalker(line) && !line.starts_with(kLaipacLabel);
}

bool isLocalGpsPeer(std::string_view peer, std::string_view localGpsHosts) {
    if (peer.empty())
        return false;
    if (peer == "127.0.0.1")
        return true;
    constexpr std::string_view kSeparators = " \t,;";
    while (!localGpsHosts.empty()) {
        size_t start = localGpsHosts.find_first_not_of(kSeparators);
        if (start == std::string_view::npos)
            break;
        localGpsHosts.remove_prefix(start);
        size_t end = std::min(localGpsHosts.find_first_of(kSeparators), localGpsHosts.size());
        if (localGpsHosts.substr(0, end) == peer)
            return true;
        localGpsHosts.remove_prefix(end);
    }
    return false;
}

std::vector<std::string_view> splitTrackerLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t lf = text.find('\n');
        if (lf == std::string_view::npos) {
            lines.push_back(text);
            break;
        }
        lines.push_back(text.substr(0, lf));
        text.remove_prefix(lf + 1);
    }
    return lines;
}
