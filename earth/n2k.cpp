// The engine's Google Earth half: starting the engine's listeners, installing
// the network link in Google Earth and answering its polls, each of which also
// exchanges the camera (earth/camera.h).
#include "earth/n2k.h"

#include "earth/autoView.h"
#include "earth/camera.h"
#include "earth/earth.h"
#include "earth/globeRequests.h"
#include "earth/kml.h"
#include "earth/shareFilter.h"
#include "net/http.h"
#include "platform/paths.h"
#include "platform/runtime.h"
#include "platform/uiServices.h"
#include "remote/client.h"
#include "trace/trace.h"
#include "track/outsideText.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string_view>
#include <type_traits>

std::atomic<int> GoogleEarthVersion{0};

namespace {

// What Google Earth gets when nothing changed: an empty document, sent as it
// stands (no status line; Google Earth takes it). Equal to kmlHeader() + "</kml>".
constexpr std::string_view kUnchangedReply = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                             "<kml xmlns=\"http://earth.google.com/kml/2.0\">\n"
                                             "</kml>";

constexpr const char* kReplyHeader = "HTTP/1.1 200 OK\nContent-Type: "
                                     "application/vnd.google-earth.kml+xml\nContent-Length: %d\n\n";
constexpr size_t kReplyHeaderMax = 160;

// The header of a reply whose document is `bodySize` bytes.
std::string replyHeader(size_t bodySize) {
    char header[kReplyHeaderMax];
    const int n = snprintf(header, sizeof header, kReplyHeader, static_cast<int>(bodySize));
    return std::string(header, static_cast<size_t>(std::clamp(n, 0, int(sizeof header) - 1)));
}

// Creating the application takes longer than this only when Google Earth had
// to start; longer than kGeStartedMs means it certainly was not running.
constexpr uint32_t kGeUpMs = 500;
constexpr uint32_t kGeStartedMs = 2000;
// A find call that keeps failing gives up after this many tries instead of
// holding the caller forever.
constexpr int kFindFailureLimit = 20;
// Load attempts of the link text beyond the first.
constexpr int kLoadRetryLimit = 10;

// The start-up counter stops here: it only matters below kStartupOverviewPolls,
// and a counter left to grow would wrap after months of polls.
constexpr int kStartupCounterCeiling = 1000;

// The path a GET request asks for, without its query; empty for anything else.
std::string_view requestPath(std::string_view req) {
    if (req.substr(0, 4) != "GET ")
        return std::string_view();
    req.remove_prefix(4);
    return req.substr(0, req.find_first_of(" ?\r\n"));
}

// Google Earth polls the link's own path; everything else (a browser at the
// root, a stranger) is another client.
bool isLinkPoll(std::string_view req) {
    std::string_view path = requestPath(req);
    return !path.empty() && path.front() == '/' && path.substr(1) == kNetworkLinkName;
}

bool stopping(const Cn2k& engine) {
    bool (*asked)() = engine.m_stopAsked;
    return g_bShutdown || (asked && asked());
}

// Waits `ms` on the Google Earth clock in short steps, so that a stop request
// ends the wait. False when the program is stopping.
bool installWait(const Cn2k& engine, unsigned ms) {
    constexpr unsigned kStepMs = 100;
    while (ms > 0) {
        if (stopping(engine))
            return false;
        const unsigned step = std::min(ms, kStepMs);
        earthSleep(step);
        ms -= step;
    }
    return !stopping(engine);
}

// The range every drawn vehicle is scaled to: the camera's, or, until a
// camera reading arrives (no Google Earth to read, a link added by hand), the
// automatic view's range for the tracked vehicle, so that cursors and labels
// still get a size and a height.
double drawRange(CClient& tracked) {
    const double range = viewRange;
    return range > 0 ? range : autoRangeTilt(tracked).range;
}

// A document handed to the other clients is built again after this long
// even when nothing it shows seems changed (a setting file edited meanwhile).
constexpr auto kSharedDocumentMaxAge = std::chrono::seconds(1);
// Documents at least this large give their pages back when they go.
constexpr size_t kReleaseDocumentBytes = size_t(1) << 20;
// The largest budget a setting can ask for: the reply's length travels as a
// signed 32-bit count.
constexpr int kMaxReplyMBCeiling = 1024;

// FNV-1a over what a document shows.
class DocumentKey {
public:
    void bytes(const void* data, size_t n) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < n; ++i) {
            m_hash ^= p[i];
            m_hash *= 1099511628211ull;
        }
    }
    template <typename T> void number(T value) {
        static_assert(std::is_arithmetic_v<T>);
        bytes(&value, sizeof value);
    }
    void text(const std::string& s) {
        number(s.size());
        bytes(s.data(), s.size());
    }
    uint64_t value() const { return m_hash; }

private:
    uint64_t m_hash = 14695981039346656037ull;
};

// The key of the document every client but Google Earth gets: the settings
// and the tracked vehicle, and for every vehicle its points (their change
// count) and the fields its placemark shows.
uint64_t documentKey(const std::vector<CClient*>& vehicles, const CClient* tracked,
                     const EngineSettings* settings, double range) {
    DocumentKey k;
    k.number(reinterpret_cast<uintptr_t>(settings));
    k.number(reinterpret_cast<uintptr_t>(tracked));
    k.number(range);
    k.number(vehicles.size());
    TrackLockGuard lock;
    for (const CClient* v : vehicles) {
        k.number(reinterpret_cast<uintptr_t>(v));
        k.number(v->track.m_changes.load());
        k.number(v->track.m_seqNum.load());
        for (int32_t n :
             {v->visible,   v->online.load(), v->tracking,   v->speedTrack,  v->maxPts,
              v->fly,       v->extrude,       v->timestamps, v->useTimeSpan, v->startTime,
              v->endTime,   v->showAlt,       v->showHdg,    v->showName,    v->showHost,
              v->showSpeed, v->showTime,      v->cursorType, v->isLocal,     v->isDemo,
              v->remoteType})
            k.number(n);
        for (double d : {v->maxSpd, v->trackWidth, v->curPos.lat, v->curPos.lon, v->curPos.alt,
                         v->curPos.hdg, v->curPos.spd})
            k.number(d);
        k.number(v->curPos.time);
        k.number(v->curPos.status);
        for (const std::string* t :
             {&v->name, &v->uName, &v->host, &v->color, &v->image, &v->modelFile, &v->imageFile})
            k.text(*t);
    }
    return k.value();
}

// A client other than Google Earth when there is no document to give: a
// complete HTTP reply that says why.
int32_t unavailable(ServerReply& reply, std::string_view why) {
    std::string text(why);
    text += '\n';
    return reply.give(httpReply("503 Service Unavailable", "text/plain; charset=utf-8", text));
}

} // namespace

int Cn2k::startEngine() {
    m_local = m_clients->localVehicle();
    m_linkServer.framing = RequestFraming::http;
    if (m_shareGate.path().empty())
        m_shareGate.setPath(FullPath(kShareFileName));
    m_baseServer.start(m_basePort, nullPortHandler, this);
    m_linkServer.start(m_linkPort, processTrackerFunc, this);
    m_trackerServer.start(m_trackerPort, processTrackerDataFunc, this);
    resetDemo();
    return 1;
}

std::string Cn2k::linkHost() const {
    const std::string& address = m_linkServer.bindAddress;
    if (address.empty() || address == "0.0.0.0")
        return "127.0.0.1";
    return address;
}

std::string Cn2k::networkLinkKml(const std::string& name, const std::string& linkName,
                                 const std::string& host, int port, bool carriesView,
                                 const std::string& query) {
    std::string kml = kmlHeader();
    kml += "<NetworkLink id=\"Nivra\">\n";
    kml += "<name>" + linkName + "</name>\n";
    if (carriesView)
        kml += "<flyToView>1</flyToView>\n";
    kml += " <Link>\n";
    kml += "<viewFormat>\n";
    kml += "&amp;LOOKAT=[lookatLon],[lookatLat],[lookatRange],[lookatTilt],[lookatHeading]\n";
    kml += "</viewFormat>\n";
    kml += "<href>";
    appendXmlText(kml, "http://" + host + ":" + std::to_string(port) + "/" + name +
                           (query.empty() ? std::string() : "?" + query));
    kml += "</href>\n";
    kml += "<refreshMode>onInterval</refreshMode>\n";
    kml += "<refreshInterval>.5</refreshInterval>\n";
    if (carriesView)
        kml += "<viewRefreshMode>onStop</viewRefreshMode>\n";
    kml += "</Link>\n";
    kml += "</NetworkLink>\n";
    kml += "</kml>\n";
    return kml;
}

void checkGoogleEarthVersion() {
    if (GoogleEarthVersion != 0)
        return;
    std::shared_ptr<EarthApp> app = earthApp();
    int major = 0, minor = 0, build = 0, kind = 0;
    if (app->create(EarthObject::application) == kEarthOk &&
        app->version(major, minor, build, kind) == kEarthOk)
        GoogleEarthVersion = major;
    if (GoogleEarthVersion < 4)
        showMessage("This version of Nivra will not work well with this version of Google Earth. "
                    "Please upgrade to the latest version of Google Earth");
}

int Cn2k::loadServer(const std::string& name, const std::string& linkName, const std::string& host,
                     int port) {
    // Google Earth's busy and not-responding dialogs belong to COM's message
    // filter on the original platform; here the calls simply block.
    std::shared_ptr<EarthApp> app = earthApp();
    if (stopping(*this))
        return 0;

    // Attach, or start Google Earth and wait until an attach is quick.
    while (true) {
        uint32_t t0 = earthTick();
        if (app->create(EarthObject::application) != kEarthOk) {
            NTRACE("error accessing google earth");
            return 0;
        }
        uint32_t took = earthTick() - t0;
        if (took < kGeUpMs)
            break;
        NTRACE("trying to start GE %ld", static_cast<long>(took));
        if (took > kGeStartedMs)
            g_startupCounter = 0;
        if (!installWait(*this, 2000))
            return 0;
    }

    // Google Earth keeps the link in Places across its restarts: look first.
    if (app->create(EarthObject::application) != kEarthOk) {
        NTRACE("error accessing google earth");
        return 0;
    }
    int found = 0;
    int failures = 0;
    for (int i = 0;;) {
        bool got = false;
        if (app->findFeature(name, got) == kEarthOk) {
            if (!installWait(*this, 1000))
                return 0;
            NTRACE("got feature");
            if (got) {
                found = 1;
                break;
            }
            if (i > 3)
                break;
            ++i;
        } else if (++failures >= kFindFailureLimit || stopping(*this)) {
            NTRACE("error accessing google earth");
            return 0;
        }
        if (!installWait(*this, 500))
            return 0;
    }

    checkGoogleEarthVersion();

    if (!found) {
        std::string kml = networkLinkKml(name, linkName, host, port, app->linkCarriesView());
        EarthObject through = GoogleEarthVersion > 3 ? EarthObject::view : EarthObject::application;
        for (int j = 0;;) {
            int rc = app->create(through);
            if (rc == kEarthOk)
                rc = app->loadKml(through, kml);
            if (rc == kEarthOk)
                break;
            if (++j > kLoadRetryLimit || stopping(*this)) {
                NTRACE("error accessing google earth");
                return 0;
            }
            if (!installWait(*this, 1000))
                return 0;
        }
    }
    return found;
}

int Cn2k::openInEarth(const std::string& path) {
    std::shared_ptr<EarthApp> app = earthApp();
    int rc = app->create(EarthObject::application);
    if (rc == kEarthOk)
        rc = app->openFile(path);
    if (rc != kEarthOk)
        NTRACE("error accessing google earth");
    return rc;
}

int32_t Cn2k::processTrackerFunc(std::span<char> request, const char* peerAddress,
                                 ServerReply& reply, void* engine) {
    Cn2k* self = static_cast<Cn2k*>(engine);
    if (!self)
        return 0;
    const ShareDecision door = self->m_shareGate.check(
        std::string_view(request.data(), request.size()), peerAddress ? peerAddress : "");
    if (!door.allowed())
        return reply.give(
            httpReply("403 Forbidden", "text/plain; charset=utf-8", "Nivra: " + door.why + "\n"));
    int32_t result = self->answerLinkRequest(request, door, reply);
    // The globe's page opened with a share link keeps the key for what it loads.
    if (result > 0 && door.tokenInQuery &&
        asksForGlobePage(std::string_view(request.data(), request.size())))
        result = withShareCookie(reply, result, door.token);
    return result;
}

int32_t Cn2k::answerLinkRequest(std::span<char> request, const ShareDecision& door,
                                ServerReply& reply) {
    Cn2k* self = this;
    const VehicleGrant* limited = door.grant.all ? nullptr : &door.grant;
    if (int32_t globe = 0; answerGlobeRequest(request, *self, reply, globe, limited))
        return globe;
    std::string_view req(request.data(), strnlen(request.data(), request.size()));
    // Only the polls of this machine's Google Earth take the new-point flags
    // and the camera: any other client gets the whole document and leaves
    // both for Google Earth.
    const bool linkPoll = isLinkPoll(req) && door.kind == ShareDecision::Kind::local;
    // Google Earth takes the empty document as it stands; every other client
    // (a browser, curl, a script) gets an HTTP reply whatever the state.
    const int32_t unchanged =
        linkPoll ? reply.giveStatic(kUnchangedReply) : unavailable(reply, "Nivra is stopping.");
    // A HEAD request gets the status line and headers of what a GET would.
    const bool headOnly = httpMethod(req) == "HEAD";
    std::shared_ptr<EarthApp> app = earthApp();

    EarthCamera cam;
    bool haveCam = false;
    if (linkPoll) {
        app->notePoll(std::string(req));
        haveCam = checkChange(cam) == 1;
    }

    CClient* tracked = self->m_tracked;
    if (g_bShutdown)
        return unchanged;
    if (!tracked)
        return linkPoll ? unchanged
                        : unavailable(reply, "Nivra is starting: no vehicle is followed yet.");

    int moved = 0;
    if (linkPoll) {
        TrackLockGuard lock; // the window sets the vehicle's tracking bits meanwhile
        moved = checkRange(*tracked, haveCam ? &cam : nullptr);
    }
    if (self->m_paused && !moved && !limited) {
        if (linkPoll)
            return unchanged;
        // The last document other clients were given before the pause.
        if (const auto& last = self->m_rootDocument.text)
            return headOnly ? answerHeadOnly(reply, reply.giveShared(last))
                            : reply.giveShared(last);
        return unavailable(reply, "Nivra is paused: nothing new until it is started (the window's "
                                  "Start button, or --start).");
    }

    std::vector<CClient*> vehicles = self->m_clients->vehicles();
    // Folders of removed vehicles go; those of vehicles a share does not
    // show stay for the next whole document.
    if (self->m_fragments.size() > vehicles.size())
        self->m_fragments.keepOnly(vehicles);
    bool showTracked = true;
    if (limited) {
        vehicles = grantedVehicles(vehicles, *limited);
        showTracked = std::find(vehicles.begin(), vehicles.end(), tracked) != vehicles.end();
    }
    if (linkPoll) {
        int newData = 0;
        for (CClient* v : vehicles) {
            if (g_bShutdown)
                return unchanged;
            if (v->track.m_newPt.exchange(0))
                newData = 1;
        }
        if (!newData && !moved)
            return unchanged;
    }

    try {
        const std::shared_ptr<const EngineSettings> settings = self->settings();
        const auto now = SteadyClock::now();
        uint64_t key = 0;
        if (!linkPoll && !limited) {
            key = documentKey(vehicles, tracked, settings.get(), drawRange(*tracked));
            const SharedDocument& last = self->m_rootDocument;
            if (last.text && last.key == key && now - last.built < kSharedDocumentMaxAge)
                return headOnly ? answerHeadOnly(reply, reply.giveShared(last.text))
                                : reply.giveShared(last.text);
        }
        // The reply is built in one buffer: room for its header (as long as
        // the last document's needed), then the document. A large document is
        // neither copied behind a header nor are its pages touched twice.
        const size_t headerRoom = replyHeader(self->m_lastBodySize).size();
        std::string text;
        text.reserve(headerRoom + self->m_lastBodySize + self->m_lastBodySize / 8 + 4096);
        text.assign(headerRoom, ' ');
        text += kmlDocumentHead();
        if (!self->buildDocumentBody(text, headerRoom, vehicles, *tracked, *settings, linkPoll,
                                     showTracked))
            return unchanged;
        text += '\n';
        text += kmlDocumentTail();

        if (linkPoll) {
            {
                TrackLockGuard lock; // not over the wait for the camera to rest
                if (tracked->tracking != 0)
                    updateCamera(*tracked, cam, settings->flyToSpeed);
            }
            checkChange(cam);
            // The view computed for this poll flies with this reply, inside
            // the kml element ahead of the Document; a reply later it would
            // undo whatever the user did with the camera in between.
            std::string control = app->takeReplyControl();
            if (!control.empty())
                text.insert(headerRoom + kmlHeader().size(), control);
        }
        if (g_bShutdown)
            return unchanged;

        // The reply's length travels as a signed 32-bit count.
        const size_t bodySize = text.size() - headerRoom;
        if (bodySize > static_cast<size_t>(INT32_MAX) - kReplyHeaderMax)
            throw std::length_error("reply too long");
        // In place when the length has as many digits as the last one's.
        text.replace(0, headerRoom, replyHeader(bodySize));
        self->m_lastBodySize = bodySize;
        if (linkPoll)
            return reply.give(std::move(text));
        if (limited) // built for this share's vehicles alone
            return headOnly ? answerHeadOnly(reply, reply.give(std::move(text)))
                            : reply.give(std::move(text));
        // The document before goes unless a client still reads it.
        SharedDocument& last = self->m_rootDocument;
        const bool release =
            last.text && last.text.use_count() == 1 && last.text->size() >= kReleaseDocumentBytes;
        last.text = std::make_shared<const std::string>(std::move(text));
        last.key = key;
        last.built = now;
        if (release)
            releaseFreedMemory();
        return headOnly ? answerHeadOnly(reply, reply.giveShared(last.text))
                        : reply.giveShared(last.text);
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    NTRACE("memory error");
    return 0;
}

bool Cn2k::buildDocumentBody(std::string& body, size_t headerRoom,
                             const std::vector<CClient*>& vehicles, CClient& tracked,
                             const EngineSettings& settings, bool linkPoll, bool showTracked) {
    const double range = drawRange(tracked);
    std::vector<BudgetItem> items;
    items.reserve(vehicles.size() + 1);
    {
        // The tracker port sets a vehicle's source (remoteType) meanwhile.
        TrackLockGuard lock;
        for (CClient* v : vehicles) {
            if (g_bShutdown)
                return false;
            if (v != &tracked && !settings.selectedTrackOnly)
                items.push_back(
                    {v, v->remoteType == remoteDevice ? BudgetRank::device : BudgetRank::other});
            if (linkPoll && g_startupCounter < kStartupCounterCeiling)
                ++g_startupCounter;
        }
        tracked.camRange = range;
    }
    if (showTracked)
        items.push_back({&tracked, BudgetRank::selected});

    const size_t budget =
        static_cast<size_t>(std::clamp(settings.maxReplyMB, 1, kMaxReplyMBCeiling)) << 20;
    // What follows the vehicles: a line feed, the tail and, in a poll, the view.
    constexpr size_t kAfterVehicles = 1024;
    const size_t used = body.size() - headerRoom + kAfterVehicles;
    const size_t room = budget > used ? budget - used : 0;
    const BudgetOutcome outcome =
        m_replyBudget.append(body, items, room, [&](CClient& v, int pointLimit, std::string& out) {
            if (g_bShutdown)
                return false;
            TrackLockGuard lock; // the vehicle's fields change on other threads
            if (!v.visible)
                return false;
            v.camRange = range;
            // Only vehicles whose folder would come out different are written.
            out += m_fragments.fragment(v, pointLimit, settings.kml);
            if (&v != &tracked)
                out += '\n';
            return true;
        });
    if (g_bShutdown)
        return false;
    if (outcome.vehiclesCut > 0 || outcome.overBudget) {
        int heldBack = 0;
        if (m_budgetLog.allow(TraceThrottle::Clock::now(), heldBack))
            NTRACE_WARN("network link: %lld oldest points of %zu vehicles left out to keep the "
                        "document under %d MB (MaxReplyMB)%s (%d more such documents not logged)",
                        static_cast<long long>(outcome.pointsLeftOut), outcome.vehiclesCut,
                        settings.maxReplyMB,
                        outcome.overBudget ? "; it is over the budget even without tracks" : "",
                        heldBack);
    }
    return true;
}