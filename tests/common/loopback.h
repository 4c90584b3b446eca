// A small client for the listeners under test.
#pragma once

#include "platform/socket.h"

#include <cstdint>
#include <string>

// Connects, sends `request` in one call and reads until the server closes.
// Returns the reply; `ok` is false when the connection failed.
inline std::string roundTrip(uint16_t port, const std::string& request, bool* ok = nullptr,
                             const std::string& address = "127.0.0.1") {
    int err = 0;
    Socket s = Socket::tcp(err);
    bool good = s.valid() && s.connect(address, port, 2000) == 0 && s.setTimeouts(10000) == 0;
    if (good && !request.empty())
        good = s.send(request.data(), request.size()) == long(request.size());
    std::string reply;
    char buf[4096];
    long n;
    while (good && (n = s.recv(buf, sizeof buf)) > 0)
        reply.append(buf, size_t(n));
    if (ok)
        *ok = good;
    return reply;
}
