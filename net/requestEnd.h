// Where a request ends. The listeners read a whole request before handing it
// to a handler, whatever TCP segments it arrived in: an HTTP request ends at
// its blank line; anything else (tracker posts, peer requests) ends when the
// client closes its side or goes quiet for a moment, a shorter moment after a
// line end than in the middle of a line.
#pragma once

#include <cstddef>
#include <string_view>

enum class RequestFraming {
    lines, // tracker posts and peer requests: close or a quiet gap
    http,  // Google Earth and browsers: the blank line after the headers
    // Phones: the blank line and then the body its Content-Length announces
    // (none without the header).
    httpBody,
};

// The longest quiet a request whose headers arrived may keep while its body
// is still due; the listener's deadline ends a body that never comes.
constexpr unsigned kBodyGapMs = 2000;

// Where the body of an HTTP request begins (after the blank line), or npos
// while the headers are incomplete.
size_t httpBodyStart(std::string_view received);
// The Content-Length a request's headers announce: 0 without the header,
// SIZE_MAX for a value that is not a number.
size_t httpContentLength(std::string_view head);

// Quiet time after a line end, and in the middle of a line (a tracker that
// sends a line byte by byte gets this long between its bytes).
constexpr unsigned kLineEndGapMs = 50;
constexpr unsigned kMidLineGapMs = 400;

// Milliseconds without new bytes after which `received` counts as the whole
// request; 0 when it is complete already. (A connection that has sent
// nothing yet is not waited on by this rule but by its deadline.)
unsigned requestQuietMs(std::string_view received, RequestFraming framing);
