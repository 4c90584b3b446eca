// Where a request ends. The listeners read a whole request before handing it
// to a handler, whatever TCP segments it arrived in: an HTTP request ends at
// its blank line; anything else (tracker posts, peer requests) ends when the
// client closes its side or goes quiet for a moment, a shorter moment after a
// line end than in the middle of a line.
#pragma once

#include <string_view>

enum class RequestFraming {
    lines, // tracker posts and peer requests: close or a quiet gap
    http,  // Google Earth and browsers: the blank line after the headers
};

// Quiet time after a line end, and in the middle of a line (a tracker that
// sends a line byte by byte gets this long between its bytes).
constexpr unsigned kLineEndGapMs = 50;
constexpr unsigned kMidLineGapMs = 400;

// Milliseconds without new bytes after which `received` counts as the whole
// request; 0 when it is complete already. (A connection that has sent
// nothing yet is not waited on by this rule but by its deadline.)
unsigned requestQuietMs(std::string_view received, RequestFraming framing);
