// libFuzzer target: any bytes as a whole request to the phone port, as its
// listener hands them over. Checks what must hold for every input: the reply
// is a complete HTTP reply of 200, 400 or 503; a refusal says why; every
// position handed on is a real position with a time at most a day ahead;
// OwnTracks replies are JSON arrays; enrolment never passes the device cap.
#include "fuzzCheck.h"
#include "phones/phoneKey.h"
#include "phones/phoneListener.h"
#include "platform/json.h"
#include "remote/client.h"

#include <cstdint>
#include <string>

namespace {

constexpr int64_t kNow = 1800000000; // the fuzzed requests' clock
constexpr int kCap = 4;

class CheckingSink : public PhonePointSink {
public:
    PointTaken takePhonePoint(CClient& vehicle, const GpsFix& fix) override {
        check(vehicle.remoteType == remotePhone);
        checkPosition(fix.lat, fix.lon);
        check(std::isfinite(fix.spd) && fix.spd >= 0);
        check(std::isfinite(fix.alt) && std::isfinite(fix.hdg) && fix.hdg >= 0 && fix.hdg < 360);
        check(fixTimeToUtc(fix.time) <= kNow + kPhoneFutureSeconds);
        return PointTaken::drawn;
    }
};

struct World {
    CClients clients{"servers"};
    CheckingSink sink;
    CPhoneListener listener{clients, sink};
    std::chrono::steady_clock::time_point t{};
    World() {
        CClient* p = clients.add("p1", "p1");
        p->remoteType = remotePhone;
        p->phoneKey = hashPhoneKey("secret-key", 1);
        p->phoneShare = 1;
        CClient* other = clients.add("Other", "elsewhere");
        other->curPos.lat = 10;
        other->curPos.lon = 20;
        other->curPos.time = 1000000;
        listener.utcClock = [] { return kNow; };
        // Every request an hour later: the pauses of failing addresses end.
        listener.steadyClock = [this] { return t += std::chrono::hours(1); };
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static World world;
    PhoneSettings settings;
    settings.enrolment = size > 0 && (data[0] & 1);
    settings.maxDeviceVehicles = kCap;
    world.listener.setSettings(settings);
    const std::string request(reinterpret_cast<const char*>(data), size);
    const PhoneAnswer a = world.listener.answer(request, "127.0.0.9");
    check(a.status == 200 || a.status == 400 || a.status == 503);
    if (a.status == 400)
        check(a.body.size() > 1 && a.body.back() == '\n');
    if (a.contentType == "application/json") {
        JsonValue doc;
        JsonError error;
        JsonLimits limits;
        limits.maxValues = 1 << 16;
        check(parseJson(a.body, doc, error, limits) && doc.isArray());
    }
    const std::string http = a.httpText();
    check(http.rfind("HTTP/1.1 ", 0) == 0 && http.find("\r\n\r\n") != std::string::npos);
    size_t phones = 0;
    for (const CClient* c : world.clients.vehicles(true))
        phones += c->remoteType == remotePhone;
    check(phones <= kCap);
    return 0;
}
