// Telling the service manager how the program is doing: systemd's notify
// protocol, one datagram of "KEY=VALUE" lines to the AF_UNIX socket named in
// NOTIFY_SOCKET (a path, or "@name" in the abstract namespace). A unit of
// Type=notify counts as started once "READY=1" arrives.
#pragma once

#include <string>

// Sends `state` ("READY=1\nSTATUS=...") to the socket `socketName` names.
// False, with `error` set, when the name is no usable socket address or the
// datagram could not be sent.
bool sendServiceNotification(const std::string& socketName, const std::string& state,
                             std::string& error);

// The same to NOTIFY_SOCKET. Without one (not started by a service manager)
// nothing is sent and the result is true.
bool notifyServiceManager(const std::string& state, std::string& error);
