#include "phones/phoneSetup.h"

#include <qrencode.h>

#include <memory>

bool phoneKindFromName(std::string_view name, PhoneKind& kind) {
    if (name == "traccar")
        kind = PhoneKind::traccar;
    else if (name == "osmand")
        kind = PhoneKind::osmand;
    else if (name == "owntracks")
        kind = PhoneKind::owntracks;
    else
        return false;
    return true;
}

const char* phoneKindName(PhoneKind kind) {
    switch (kind) {
    case PhoneKind::osmand:
        return "osmand";
    case PhoneKind::owntracks:
        return "owntracks";
    case PhoneKind::traccar:
        break;
    }
    return "traccar";
}

PhoneSpeedUnit phoneKindSpeedUnit(PhoneKind kind) {
    // Traccar Client sends knots; OsmAnd fills {5} in metres a second;
    // OwnTracks names km/h itself (the unit is then not used).
    return kind == PhoneKind::osmand ? speedMetresPerSecond : speedKnots;
}

std::string phoneServerUrl(const std::string& host, int port, const std::string& key) {
    return "http://" + host + ":" + std::to_string(port) + "/" + key;
}

std::string osmandTrackingUrl(const std::string& host, int port, const std::string& key,
                              const std::string& identifier) {
    return phoneServerUrl(host, port, key) + "?id=" + identifier +
           "&lat={0}&lon={1}&timestamp={2}&hdop={3}&altitude={4}&speed={5}";
}

std::string phoneSetupUrl(PhoneKind kind, const std::string& host, int port, const std::string& key,
                          const std::string& identifier) {
    if (kind == PhoneKind::osmand)
        return osmandTrackingUrl(host, port, key, identifier);
    return phoneServerUrl(host, port, key);
}

std::string phoneIdFromName(std::string_view name) {
    std::string id;
    for (char c : name) {
        if (id.size() >= kPhoneIdMax)
            break;
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        id += ok ? c : '-';
    }
    return id.find_first_not_of("-.") == std::string::npos ? std::string() : id;
}

std::vector<std::vector<bool>> qrModules(const std::string& text) {
    struct Free {
        void operator()(QRcode* code) const { QRcode_free(code); }
    };
    std::unique_ptr<QRcode, Free> code(QRcode_encodeString8bit(text.c_str(), 0, QR_ECLEVEL_M));
    std::vector<std::vector<bool>> rows;
    if (!code || code->width <= 0)
        return rows;
    const int w = code->width;
    rows.assign(static_cast<size_t>(w), std::vector<bool>(static_cast<size_t>(w)));
    for (int y = 0; y < w; ++y)
        for (int x = 0; x < w; ++x)
            rows[static_cast<size_t>(y)][static_cast<size_t>(x)] = code->data[y * w + x] & 1;
    return rows;
}

std::string qrTerminalText(const std::vector<std::vector<bool>>& modules) {
    constexpr int kQuiet = 2;
    const int w = static_cast<int>(modules.size());
    auto dark = [&](int x, int y) {
        return x >= 0 && y >= 0 && x < w && y < w &&
               modules[static_cast<size_t>(y)][static_cast<size_t>(x)];
    };
    std::string out;
    for (int y = -kQuiet; y < w + kQuiet; y += 2) {
        for (int x = -kQuiet; x < w + kQuiet; ++x) {
            const bool top = dark(x, y), bottom = dark(x, y + 1);
            // Light is drawn, dark is left blank.
            if (top && bottom)
                out += ' ';
            else if (top)
                out += "\u2584"; // lower half light
            else if (bottom)
                out += "\u2580"; // upper half light
            else
                out += "\u2588";
        }
        out += '\n';
    }
    return out;
}
