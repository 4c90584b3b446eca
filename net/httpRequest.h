// Reading an HTTP/1.x request that a listener has received whole: the
// request line, the headers and the body, each bounded; form and query
// parameters; the credentials of HTTP Basic authentication. Pure functions:
// no I/O, no shared state. Everything is read from the received bytes as
// they are and refused with a reason when it breaks the grammar or a bound.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Headers a request may carry, and parameters a query or form may carry.
constexpr size_t kMaxRequestHeaders = 64;
constexpr size_t kMaxRequestParams = 64;

struct HttpRequest {
    std::string_view method;
    std::string_view target; // as sent: path and query, still percent-encoded
    std::string_view path;   // the target before '?'
    std::string_view query;  // the target after '?' (empty without one)
    // Header names in lower case (values as sent, blanks around them removed).
    std::vector<std::pair<std::string, std::string_view>> headers;
    std::string_view body;

    // The value of the first header of that name (lower case), or nullptr.
    const std::string_view* header(std::string_view lowerName) const;
};

// Reads `text` (one whole request) into `out`; the views point into `text`.
// The body is what the Content-Length header announces. False, with `why`,
// for a request that is not HTTP/1.x, that has too many headers, a chunked
// body, a Content-Length that is not a number, or fewer body bytes than it
// announces (`truncated` then tells that the request filled `maxRequest`
// bytes: it was cut by the listener, not by the client).
bool parseHttpRequest(std::string_view text, HttpRequest& out, std::string& why, size_t maxRequest,
                      bool* truncated = nullptr);

// "a=1&b=x%20y" (a query or an application/x-www-form-urlencoded body) into
// name/value pairs, '+' read as a blank. False with `why` for a malformed
// escape, a control byte or more than kMaxRequestParams pairs.
bool parseFormParams(std::string_view text, std::vector<std::pair<std::string, std::string>>& out,
                     std::string& why);

// The user and password of an "Authorization: Basic ..." value. False when the
// value is not Basic or its base64 does not decode to "user:password".
bool parseBasicAuth(std::string_view value, std::string& user, std::string& password);
