#include "app/startDirectory.h"

#include "platform/atomicFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

constexpr const char* kLocalTrack = "Nivra.trk";
// The automatic view's tables, read from the start directory when present.
constexpr const char* kViewTables[] = {"AutoView.cfg", "AutoZoom.cfg"};
// A track file holds at most 28800 points of a few dozen bytes; anything far
// larger is not one of ours.
constexpr std::uintmax_t kLargestCarried = 64u << 20;

bool isFile(const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec);
}

bool readWhole(const fs::path& p, std::string& text) {
    std::ifstream in(p, std::ios::binary);
    if (!in)
        return false;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

std::string joinNames(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            text += i + 1 == names.size() ? " and " : ", ";
        text += names[i];
    }
    return text;
}

} // namespace

std::string defaultStartDirectory(const std::string& dataHome) {
    return dataHome.empty() ? std::string() : dataHome + "/nivra";
}

bool ensureDirectory(const std::string& dir, std::string& error) {
    std::error_code ec;
    if (fs::is_directory(dir, ec))
        return true;
    // Each missing folder is made private (0700) as it is made.
    fs::path made;
    for (const fs::path& part : fs::path(dir)) {
        made /= part;
        if (fs::is_directory(made, ec))
            continue;
        if (::mkdir(made.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create " + made.string() + ": " + std::strerror(errno);
            return false;
        }
    }
    if (!fs::is_directory(dir, ec)) {
        error = dir + " is not a directory";
        return false;
    }
    return true;
}

std::vector<std::string> carryOverFiles(const std::string& oldDir, const std::string& newDir,
                                        std::string& error) {
    std::vector<std::string> copied;
    const fs::path from(oldDir), to(newDir);
    if (!isFile(from / kLocalTrack) || fs::exists(to / kLocalTrack))
        return copied;
    std::vector<std::string> names{kLocalTrack};
    std::error_code ec;
    for (fs::directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name != kLocalTrack && name.size() > 4 && name.ends_with(".trk"))
            names.push_back(name);
    }
    for (const char* table : kViewTables)
        names.emplace_back(table);
    for (const std::string& name : names) {
        const fs::path source = from / name;
        if (!isFile(source) || fs::exists(to / name, ec))
            continue;
        std::string text;
        if (fs::file_size(source, ec) > kLargestCarried || ec || !readWhole(source, text)) {
            error = "cannot read " + source.string();
            continue;
        }
        std::string why;
        if (!writeFileAtomically((to / name).string(), text, why)) {
            error = why;
            continue;
        }
        copied.push_back(name);
    }
    return copied;
}

bool prepareStartDirectory(const std::string& given, const std::string& cwd,
                           const std::string& defaultDir, StartDirectory& out, std::string& error) {
    out = StartDirectory{};
    std::string chosen = given.empty() ? defaultDir : given;
    if (chosen.empty()) {
        // No home to keep files in: where the program was started, as ever.
        out.dir = cwd;
        return true;
    }
    fs::path dir(chosen);
    if (dir.is_relative())
        dir = fs::path(cwd) / dir;
    dir = dir.lexically_normal();
    std::string text = dir.string();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    if (!ensureDirectory(text, error))
        return false;
    out.dir = text;
    if (!given.empty())
        return true;

    std::error_code ec;
    if (fs::equivalent(fs::path(cwd), dir, ec))
        return true;
    std::string why;
    const std::vector<std::string> copied = carryOverFiles(cwd, out.dir, why);
    if (!copied.empty()) {
        out.notice = "Nivra keeps its files in " + out.dir +
                     " now (--dir chooses another folder). " + joinNames(copied) +
                     (copied.size() == 1 ? " was" : " were") + " copied there from " + cwd +
                     ", where Nivra no longer uses " + (copied.size() == 1 ? "it." : "them.");
        if (!why.empty())
            out.notice += " Not everything could be copied: " + why + ".";
    } else if (!why.empty()) {
        out.notice = "Nivra keeps its files in " + out.dir + " now, but could not copy its " +
                     "files from " + cwd + " there: " + why + ". Run with --dir " + cwd +
                     " to keep using them.";
    }
    return true;
}
