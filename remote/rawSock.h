// Outgoing TCP exchanges for the peer protocol, the tracking-service links
// and the FTP publisher: open a connection without waiting for it, send one
// message with retries, receive a reply within a time budget. Every wait is
// cut into 100 ms steps and ends early when the program shuts down, so an
// unreachable host never holds an update thread for more than the budget.
// Error codes are errno values (EWOULDBLOCK where a Windows socket would say
// 10035, ECONNRESET for 10054, ENOTCONN for 10057).
#pragma once

#include "platform/socket.h"

#include <cstddef>
#include <string>

// The budget of the text form of rawSendMsg.
constexpr int kRawSendBudgetMs = 6000;
// The step in which every budget is spent.
constexpr int kRawStepMs = 100;

// Resolves `host`, creates a close-on-exec socket and starts connecting to
// `port`; unless `blocking` is set the socket is non-blocking and the
// connection may still be under way (the first send finishes it). An invalid
// Socket on failure (logged "getaddrinfo() error", "socket() error" or "error
// connecting").
Socket rawOpenConnect(const std::string& host, int port, bool blocking);

// Sends `length` bytes of `data` (0: the text up to its NUL), retried every
// 100 ms while the connection is still being made, for budgetMs / 100 tries.
// 0 when every byte went out, 1 when the tries ran out ("too many tries
// writing to socket"), the connection failed, or the program is shutting down.
int rawSendMsg(Socket& s, const char* data, size_t length, int budgetMs);
// The text form: the whole text within kRawSendBudgetMs.
int rawSendMsg(Socket& s, const std::string& text);

// Receives into `buffer` (replaced; at most `size` bytes, and c_str() keeps a
// NUL after them). Single-chunk mode returns after the first data; read-all
// mode goes on until the peer closes, the buffer is full, the connection
// fails or budgetMs / 100 waits have passed without the reply ending.
// 0 when the reply ended (or one chunk came in single-chunk mode); otherwise
// the errno of the last failure: EWOULDBLOCK when the budget ran out,
// ECONNRESET for a reset, ECANCELED when the program began shutting down.
int rawRecvMsg(Socket& s, std::string& buffer, size_t size, bool readAll, int budgetMs);
