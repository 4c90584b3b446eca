// Google Earth Pro for Linux has no automation interface. What the engine asks
// of Google Earth is done through the program's command line and through the
// network link itself:
//  - installing the link writes the link document into the start directory and
//    starts `google-earth-pro FILE`; Google Earth opens it into Temporary Places;
//  - opening a saved snapshot starts `google-earth-pro FILE` the same way;
//  - a feature counts as present in Places while Google Earth polls its path;
//  - the camera is the LOOKAT= view parameters of the poll being answered, and a
//    view to fly to travels back as a NetworkLinkControl in the next full reply
//    (the link carries flyToView and a viewRefreshMode so Google Earth sends
//    its view and obeys).
#include "earth/earth.h"

#include "platform/paths.h"
#include "platform/uiServices.h"
#include "trace/trace.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

// Google Earth polls twice a second; a link not polled for this long is taken
// to be gone (Google Earth closed, or the link removed from Places).
constexpr uint32_t kPollFreshMs = 5000;
constexpr int kProVersion = 7;

// Parses the five numbers of "LOOKAT=lon,lat,range,tilt,heading" out of a
// request line. Google Earth may escape the commas as %2C.
bool parseLookAt(std::string_view requestLine, EarthCamera& cam) {
    size_t at = requestLine.find("LOOKAT=");
    if (at == std::string_view::npos)
        return false;
    std::string_view rest = requestLine.substr(at + 7);
    size_t end = rest.find_first_of(" &\r\n");
    std::string_view raw = rest.substr(0, end);
    std::string text;
    for (size_t i = 0; i < raw.size(); ++i) {
        std::string_view esc = raw.substr(i + 1, 2);
        if (raw[i] == '%' && (esc == "2C" || esc == "2c")) {
            text += ',';
            i += 2;
        } else {
            text += raw[i];
        }
    }
    double v[5];
    const char* s = text.data();
    const char* e = text.data() + text.size();
    for (int i = 0; i < 5; ++i) {
        if (s < e && *s == '+')
            ++s;
        auto [ptr, ec] = std::from_chars(s, e, v[i]);
        // Google Earth sends plain numbers; "nan" or "inf" from anyone else
        // would end up in the followed vehicle's view and the heading offset.
        if (ec != std::errc() || !std::isfinite(v[i]))
            return false;
        s = ptr;
        if (i < 4) {
            if (s == e || *s != ',')
                return false;
            ++s;
        }
    }
    if (s != e)
        return false;
    cam = EarthCamera{};
    cam.focusLon = v[0];
    cam.focusLat = v[1];
    cam.range = v[2];
    cam.tilt = v[3];
    cam.azimuth = v[4];
    cam.altMode = 1;
    return true;
}

// Fixed-point text that no locale can turn into "48,1".
std::string fixed(double v, int digits) {
    char buf[64];
    auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, digits);
    if (ec != std::errc())
        return "0";
    return std::string(buf, ptr);
}

// The file name for a document: its first <name>, reduced to safe characters.
std::string documentFileName(const std::string& kml) {
    std::string name;
    size_t open = kml.find("<name>");
    if (open != std::string::npos) {
        size_t close = kml.find("</name>", open);
        if (close != std::string::npos)
            name = kml.substr(open + 6, close - open - 6);
    }
    std::string safe;
    for (char c : name)
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_')
            safe += c;
    return (safe.empty() ? std::string("Nivra") : safe) + ".kml";
}

// Writes the whole file under a temporary name and renames it into place, so
// Google Earth never opens half a document.
bool writeFileAtomically(const std::string& path, const std::string& text) {
    std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    size_t done = 0;
    bool ok = true;
    while (ok && done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(tmp.c_str(), path.c_str()) == 0)
        return true;
    ::unlink(tmp.c_str());
    return false;
}

class EarthPro : public EarthApp {
public:
    explicit EarthPro(std::string program) : m_program(std::move(program)) {}

    std::string name() const override { return "gepro"; }

    int create(EarthObject which) override {
        // The view lives in the link's polls: a Google Earth started some other
        // way (a desktop launcher outside PATH) still has its camera followed.
        if (which == EarthObject::view)
            return kEarthOk;
        if (!programOnPath(m_program)) {
            reportMissing();
            return kEarthUnreachable;
        }
        return kEarthOk;
    }

    int findFeature(const std::string& featureName, bool& found) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        found = m_havePoll && m_lastPath == "/" + featureName &&
                earthTick() - m_lastPollTick < kPollFreshMs;
        return kEarthOk;
    }

    int loadKml(EarthObject, const std::string& kml) override {
        std::string path = FullPath(documentFileName(kml));
        if (!writeFileAtomically(path, kml)) {
            NTRACE("cannot write %s:%d", path.c_str(), errno);
            return kEarthFailed;
        }
        return start(path);
    }

    int version(int& major, int& minor, int& build, int& kind) override {
        major = kProVersion;
        minor = 0;
        build = 0;
        kind = 1;
        return kEarthOk;
    }

    int openFile(const std::string& path) override { return start(path); }

    int getCamera(EarthCamera& camera) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_haveView)
            return kEarthFailed;
        camera = m_view;
        return kEarthOk;
    }

    int setCamera(const EarthCamera& c,
                  double /*speed: Google Earth flies at its own pace*/) override {
        std::string text = "<NetworkLinkControl>\n<LookAt>\n";
        text += "<longitude>" + fixed(c.focusLon, 6) + "</longitude>\n";
        text += "<latitude>" + fixed(c.focusLat, 6) + "</latitude>\n";
        text += "<range>" + fixed(c.range, 2) + "</range>\n";
        text += "<tilt>" + fixed(c.tilt, 2) + "</tilt>\n";
        text += "<heading>" + fixed(c.azimuth, 2) + "</heading>\n";
        text += "</LookAt>\n</NetworkLinkControl>\n";
        std::lock_guard<std::mutex> lock(m_mutex);
        m_control = std::move(text);
        return kEarthOk;
    }

    bool linkCarriesView() const override { return true; }

    void notePoll(const std::string& request) override {
        std::string_view line(request);
        line = line.substr(0, line.find_first_of("\r\n"));
        size_t sp = line.find(' ');
        std::string_view target =
            sp == std::string_view::npos ? std::string_view() : line.substr(sp + 1);
        target = target.substr(0, target.find_first_of(" ?"));
        EarthCamera view;
        bool haveView = parseLookAt(line, view);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_havePoll = true;
        m_lastPath.assign(target);
        m_lastPollTick = earthTick();
        // A poll without view parameters leaves no camera to read: the link
        // in Places is an old one that does not send them.
        m_haveView = haveView;
        if (haveView)
            m_view = view;
    }

    std::string takeReplyControl() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string out;
        out.swap(m_control);
        return out;
    }

    bool liveCamera() const override { return false; }

private:
    // Told once per run, however often the link is installed or a file opened.
    void reportMissing() {
        std::string text = "Google Earth Pro (" + m_program +
                           ") was not found. Install Google Earth Pro, or choose another Google "
                           "Earth backend in the settings.";
        if (showMessageOnce("earth-pro-missing:" + m_program, text))
            NTRACE("%s not found, Google Earth Pro cannot be started", m_program.c_str());
    }

    // Starts Google Earth with one file, in a session of its own so that it
    // outlives us and takes no signals meant for our terminal.
    int start(const std::string& file) {
        posix_spawnattr_t attr;
        posix_spawn_file_actions_t actions;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        std::string program = m_program;
        std::string arg = file;
        char* argv[] = {program.data(), arg.data(), nullptr};
        pid_t pid = -1;
        int rc = posix_spawnp(&pid, program.c_str(), &actions, &attr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        if (rc != 0) {
            NTRACE("cannot start %s:%d", m_program.c_str(), rc);
            if (rc == ENOENT)
                reportMissing();
            return kEarthUnreachable;
        }
        // Collect the exit status whenever Google Earth ends, so it leaves no zombie.
        std::thread([pid] {
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
        NTRACE("started %s %s", m_program.c_str(), file.c_str());
        return kEarthOk;
    }

    std::string m_program;
    std::mutex m_mutex;
    bool m_havePoll = false;
    std::string m_lastPath;
    uint32_t m_lastPollTick = 0;
    bool m_haveView = false;
    EarthCamera m_view;
    std::string m_control;
};

} // namespace

std::shared_ptr<EarthApp> makeEarthPro(const std::string& program) {
    return std::make_shared<EarthPro>(program);
}
