#include "app/windowCommands.h"

#include "earth/kml.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/uiServices.h"
#include "remote/client.h"
#include "trace/trace.h"
#include "track/nmea.h"

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

constexpr size_t kSaveDirectoryMax = 512;

struct FileCloser {
    void operator()(FILE* f) const {
        if (f)
            fclose(f);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Writes `text` next to `path` and renames it into place, so a snapshot is
// either complete or absent.
bool writeWholeFile(const std::string& path, const std::string& text) {
    const std::string temp = path + ".tmp";
    FilePtr f(fopen(temp.c_str(), "w"));
    if (!f)
        return false;
    bool ok = fwrite(text.data(), 1, text.size(), f.get()) == text.size();
    ok = fflush(f.get()) == 0 && ok;
    ok = fsync(fileno(f.get())) == 0 && ok;
    ok = fclose(f.release()) == 0 && ok;
    if (ok && rename(temp.c_str(), path.c_str()) == 0)
        return true;
    unlink(temp.c_str());
    return false;
}

} // namespace

std::string snapshotFileName(const std::string& key, const struct tm& local) {
    std::string safeKey = key;
    for (char& c : safeKey) {
        if (c == '/')
            c = '.';
    }
    char stamp[64];
    snprintf(stamp, sizeof stamp, "_%02d%02d%02d_%02d%02d%02d.kml", local.tm_mon + 1, local.tm_mday,
             local.tm_year + 1900 - 2000, local.tm_hour, local.tm_min, local.tm_sec);
    return safeKey + stamp;
}

std::string snapshotDirectory(RegistryStore& registry) {
    std::string dir;
    if (std::optional<RegKey> key = registry.openKey(kNivraKey))
        key->queryString("SaveDirectory", dir, kSaveDirectoryMax);
    if (dir.empty()) {
        if (g_startDir.empty())
            setStartDir();
        dir = g_startDir;
    }
    return dir;
}

std::string saveSnapshot(CClient& vehicle, const std::string& dir, time_t now,
                         const KmlOptions& opt) {
    struct tm local {};
    localtime_r(&now, &local);
    std::string path = dir;
    if (!path.empty() && path.back() != '/')
        path += '/';
    path += snapshotFileName(vehicle.name, local);

    std::string kml;
    vehicleKml(vehicle, kml, kmlSingle, kKmlAllPoints, opt);
    if (!writeWholeFile(path, kml)) {
        NTRACE("Error Saving %s", path.c_str());
        showMessage("Error Saving " + path, "Nivra");
        return std::string();
    }
    return path;
}

bool hasPosition(const CClient& vehicle) {
    const GpsFix& p = vehicle.curPos;
    return p.time != 0 || p.lat != 0 || p.lon != 0;
}

std::string positionText(const CClient* vehicle) {
    if (!vehicle)
        return std::string();
    NumericCLocale numeric;
    char text[64];
    snprintf(text, sizeof text, "%.5lf,%.5lf", vehicle->curPos.lat, vehicle->curPos.lon);
    return text;
}
