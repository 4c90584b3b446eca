// Outgoing TCP connections that never hold a thread for long: name lookup to
// the first IPv4 address, a connect that may finish later, and short waits on
// a socket. Failures come back as values (errno, or getaddrinfo's code).
#pragma once

#include "platform/socket.h"

#include <netinet/in.h>
#include <string>

// Resolves `host` (name or dotted decimal) and `port` to the first IPv4
// address. 0, or getaddrinfo's code (EAI_*; see resolveErrorText).
int resolveIPv4(const std::string& host, int port, sockaddr_in& out);
// The text of a getaddrinfo code.
const char* resolveErrorText(int code);

// Switches O_NONBLOCK on or off; 0 or errno.
int setNonBlocking(Socket& s, bool on);

// Starts connecting `s` to `to`: 0 when connected, EINPROGRESS when the
// connection is under way (a non-blocking socket), otherwise errno.
int startConnect(Socket& s, const sockaddr_in& to);

// Waits at most `ms` for `s` to become readable (or writable with
// `forWrite`); a closed or failed connection counts as ready.
// 1 ready, 0 time-out or interrupted, -errno on failure.
int waitSocket(Socket& s, bool forWrite, unsigned ms);
