#include "app/desktopEntry.h"

#include "app/desktopFiles.h"
#include "platform/paths.h"
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
    const std::string base = dataHomeDir();
    if (base.empty())
        return DesktopPaths{};
    return DesktopPaths{base + "/applications/nivra.desktop",
                        base + "/icons/hicolor/scalable/apps/nivra.svg"};
}

std::string desktopEntryText(const std::string& executable) {
    std::string text = kDesktopEntryTemplate;
    const std::string placeholder = kDesktopExecPlaceholder;
    const size_t at = text.find(placeholder);
    if (at != std::string::npos)
        text.replace(at, placeholder.size(), execValue(executable));
    return text;
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

bool unregisterDesktopEntry(std::string& error, bool* removedAny) {
    if (removedAny)
        *removedAny = false;
    const DesktopPaths paths = desktopPaths();
    if (paths.entry.empty()) {
        error = "neither XDG_DATA_HOME nor HOME is set";
        return false;
    }
    bool ok = true;
    for (const std::string& path : {paths.entry, paths.icon}) {
        std::error_code ec;
        const bool removed = fs::remove(path, ec);
        if (removed && removedAny)
            *removedAny = true;
        if (ec) {
            error = "cannot remove " + path + ": " + ec.message();
            ok = false;
        }
    }
    return ok;
}
