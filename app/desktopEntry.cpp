#include "app/desktopEntry.h"

#include "trace/trace.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// A simple globe with a track and a position marker, in the window's colours.
constexpr const char* kIconSvg =
    R"(<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64" viewBox="0 0 64 64">
  <circle cx="32" cy="32" r="29" fill="#b4b5e2" stroke="#2a3a7a" stroke-width="3"/>
  <path d="M3 32h58M32 3v58M12 14c12 8 28 8 40 0M12 50c12-8 28-8 40 0" fill="none"
        stroke="#2a3a7a" stroke-width="2"/>
  <path d="M14 44c8-4 10-16 18-16s12-10 18-14" fill="none" stroke="#ff8040" stroke-width="4"
        stroke-linecap="round"/>
  <circle cx="50" cy="14" r="5" fill="#ff4040" stroke="#ffffff" stroke-width="2"/>
</svg>
)";

// The Exec key: the program quoted, with the characters that are special
// inside quotes escaped, and then the string escaping of entry values.
std::string execValue(const std::string& executable) {
    std::string quoted = "\"";
    for (char c : executable) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    std::string value;
    for (char c : quoted) {
        if (c == '\\')
            value += "\\\\";
        else if (c == '%')
            value += "%%";
        else
            value += c;
    }
    return value;
}

bool writeFileAtomically(const std::string& path, const std::string& text, std::string& error) {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    if (ec) {
        error = "cannot create " + fs::path(path).parent_path().string() + ": " + ec.message();
        return false;
    }
    const std::string temp = path + ".tmp";
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        // A full disk must not leave a cut-off file behind.
        error = "cannot write " + temp;
        unlink(temp.c_str());
        return false;
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

} // namespace

DesktopPaths desktopPaths() {
    std::string base;
    const char* xdg = getenv("XDG_DATA_HOME");
    if (xdg && *xdg == '/') {
        base = xdg;
    } else if (const char* home = getenv("HOME"); home && *home) {
        base = std::string(home) + "/.local/share";
    } else {
        return DesktopPaths{};
    }
    return DesktopPaths{base + "/applications/nivra.desktop",
                        base + "/icons/hicolor/scalable/apps/nivra.svg"};
}

std::string desktopEntryText(const std::string& executable) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Version=1.5\n"
           "Name=Nivra\n"
           "GenericName=GPS Tracker\n"
           "Comment=Live GPS tracks of your vehicles in Google Earth\n"
           "Exec=" +
           execValue(executable) +
           "\n"
           "Icon=nivra\n"
           "Terminal=false\n"
           "Categories=Utility;Maps;\n"
           "Keywords=GPS;NMEA;tracker;KML;Google Earth;\n";
}

bool registerDesktopEntry(const std::string& executable, std::string& error) {
    const DesktopPaths paths = desktopPaths();
    if (paths.entry.empty()) {
        error = "neither XDG_DATA_HOME nor HOME is set";
        return false;
    }
    if (!writeFileAtomically(paths.icon, kIconSvg, error))
        return false;
    if (!writeFileAtomically(paths.entry, desktopEntryText(executable), error))
        return false;
    NTRACE("installed %s", paths.entry.c_str());
    return true;
}

bool unregisterDesktopEntry(std::string& error) {
    const DesktopPaths paths = desktopPaths();
    if (paths.entry.empty()) {
        error = "neither XDG_DATA_HOME nor HOME is set";
        return false;
    }
    bool ok = true;
    for (const std::string& path : {paths.entry, paths.icon}) {
        std::error_code ec;
        fs::remove(path, ec);
        if (ec) {
            error = "cannot remove " + path + ": " + ec.message();
            ok = false;
        }
    }
    return ok;
}
