#include "platform/x11Setup.h"

#include "platform/socket.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>

namespace {

// What is read of a refusal's reason at most.
constexpr size_t kMaxReason = 200;

// One counted field of an entry: a 16-bit big-endian length and its bytes.
bool readField(std::string_view& in, std::string_view& field) {
    if (in.size() < 2)
        return false;
    const size_t n = static_cast<size_t>(static_cast<unsigned char>(in[0]) << 8 |
                                         static_cast<unsigned char>(in[1]));
    if (in.size() - 2 < n)
        return false;
    field = in.substr(2, n);
    in.remove_prefix(2 + n);
    return true;
}

void put16(std::string& out, uint16_t v) {
    // The byte order the request's first byte names: this machine's.
    if constexpr (std::endian::native == std::endian::little) {
        out += static_cast<char>(v & 0xff);
        out += static_cast<char>(v >> 8);
    } else {
        out += static_cast<char>(v >> 8);
        out += static_cast<char>(v & 0xff);
    }
}

uint16_t get16(const unsigned char* p) {
    return std::endian::native == std::endian::little ? static_cast<uint16_t>(p[0] | p[1] << 8)
                                                      : static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void putPadded(std::string& out, std::string_view bytes) {
    out += bytes;
    out.append((4 - bytes.size() % 4) % 4, '\0');
}

// Reads exactly `size` bytes before `deadline`; false on time-out, end or error.
bool readAll(Socket& s, unsigned char* buffer, size_t size,
             std::chrono::steady_clock::time_point deadline) {
    size_t got = 0;
    while (got < size) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || s.waitReadable(static_cast<unsigned>(left.count())) <= 0)
            return false;
        const long n = s.recv(reinterpret_cast<char*>(buffer) + got, size - got);
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// Printable text of a reason the server gave.
std::string reasonText(const unsigned char* p, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i)
        out += p[i] >= ' ' && p[i] < 0x7f ? static_cast<char>(p[i]) : '?';
    while (!out.empty() && (out.back() == '?' || out.back() == ' '))
        out.pop_back();
    return out;
}

} // namespace

bool findXAuthCookie(std::string_view file, unsigned family, std::string_view address,
                     std::string_view number, XAuthCookie& cookie) {
    while (file.size() >= 2) {
        const unsigned f = static_cast<unsigned>(static_cast<unsigned char>(file[0]) << 8 |
                                                 static_cast<unsigned char>(file[1]));
        file.remove_prefix(2);
        std::string_view addr, num, name, data;
        if (!readField(file, addr) || !readField(file, num) || !readField(file, name) ||
            !readField(file, data))
            return false;
        const bool addressMatches = f == kXAuthWild || (f == family && addr == address);
        if (addressMatches && (num.empty() || num == number) && !name.empty()) {
            cookie.name = std::string(name);
            cookie.data = std::string(data);
            return true;
        }
    }
    return false;
}

std::string x11SetupRequest(const XAuthCookie* cookie) {
    std::string out;
    out += std::endian::native == std::endian::little ? 'l' : 'B';
    out += '\0';
    put16(out, 11); // protocol 11.0
    put16(out, 0);
    const std::string_view name = cookie ? std::string_view(cookie->name) : std::string_view();
    const std::string_view data = cookie ? std::string_view(cookie->data) : std::string_view();
    put16(out, static_cast<uint16_t>(std::min<size_t>(name.size(), 0xffff)));
    put16(out, static_cast<uint16_t>(std::min<size_t>(data.size(), 0xffff)));
    put16(out, 0);
    putPadded(out, name.substr(0, 0xffff));
    putPadded(out, data.substr(0, 0xffff));
    return out;
}

std::string x11Setup(Socket& s, const XAuthCookie* cookie, unsigned timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string request = x11SetupRequest(cookie);
    size_t sent = 0;
    while (sent < request.size()) {
        const long n = s.send(request.data() + sent, request.size() - sent);
        if (n <= 0)
            return "does not take the X protocol's first request";
        sent += static_cast<size_t>(n);
    }
    // Status, then (refused) the reason's length, the protocol version and
    // the length of what follows in 4-byte units.
    unsigned char head[8];
    if (!readAll(s, head, sizeof head, deadline))
        return "does not answer the X protocol's first request";
    if (head[0] == 1)
        return std::string();
    if (head[0] != 0 && head[0] != 2)
        return "does not speak the X protocol";
    const size_t following = static_cast<size_t>(get16(head + 6)) * 4;
    // A refusal names its reason's length in its second byte; a request to
    // authenticate further sends its reason as all that follows.
    const size_t reasonLength =
        std::min(head[0] == 0 ? std::min<size_t>(head[1], following) : following, kMaxReason);
    unsigned char reason[kMaxReason];
    const bool gotReason = readAll(s, reason, reasonLength, deadline);
    const std::string why = gotReason ? reasonText(reason, reasonLength) : std::string();
    std::string out = head[0] == 0 ? "refused the connection" : "asks for another authorization";
    if (!why.empty())
        out += ": " + why;
    return out;
}
