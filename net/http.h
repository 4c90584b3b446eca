// The HTTP pieces every listener that speaks HTTP shares: complete replies,
// percent-decoding of request paths and queries, and the address a listener
// is reached at. Pure functions: no I/O, no shared state.
#pragma once

#include <string>
#include <string_view>

// Builds a complete HTTP reply (status line, type, length, no caching unless
// `maxAgeSeconds` > 0, nosniff, close).
std::string httpReply(std::string_view status, std::string_view contentType, std::string_view body,
                      unsigned maxAgeSeconds = 0);
// A plain-text 404 naming the refusal.
std::string httpNotFound(std::string_view why);
// A plain-text 405 for a method other than GET and HEAD, with its Allow header.
std::string httpMethodNotAllowed(std::string_view method);
// The status line and headers of a complete reply, without its body: the
// answer to a HEAD request. A text without the blank line comes back whole.
std::string_view httpHeadPart(std::string_view reply);
// The method of a request ("GET", "HEAD"...): the text before the first
// blank of its first line; empty when there is none.
std::string_view httpMethod(std::string_view request);
// The request's first line, without its line end.
std::string_view httpRequestLine(std::string_view request);

// Percent-decodes `in` into `out`. False for a malformed escape and for a
// decoded NUL or other control byte.
bool percentDecode(std::string_view in, std::string& out);

// "http://HOST:PORT" of a listener bound to `listenAddress` (any address
// shows as 127.0.0.1).
std::string listenerUrl(const std::string& listenAddress, int port);
