#include "net/httpRequest.h"

#include "net/http.h"

#include <cctype>
#include <charconv>

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool sameNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && lower(a) == lower(b);
}

int base64Digit(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

bool base64Decode(std::string_view in, std::string& out) {
    out.clear();
    unsigned bits = 0;
    int count = 0;
    size_t padding = 0;
    for (char c : in) {
        if (c == '=') {
            ++padding;
            continue;
        }
        if (padding > 0)
            return false; // data after padding
        const int d = base64Digit(c);
        if (d < 0)
            return false;
        bits = (bits << 6) | static_cast<unsigned>(d);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xff);
        }
    }
    return padding <= 2;
}

} // namespace

const std::string_view* HttpRequest::header(std::string_view lowerName) const {
    for (const auto& [name, value] : headers)
        if (name == lowerName)
            return &value;
    return nullptr;
}

bool parseHttpRequest(std::string_view text, HttpRequest& out, std::string& why, size_t maxRequest,
                      bool* truncated) {
    out = HttpRequest();
    if (truncated)
        *truncated = false;
    size_t headEnd = text.find("\r\n\r\n");
    size_t bodyStart = headEnd == std::string_view::npos ? headEnd : headEnd + 4;
    if (const size_t bare = text.find("\n\n"); bare < headEnd) {
        headEnd = bare;
        bodyStart = bare + 2;
    }
    if (headEnd == std::string_view::npos) {
        if (truncated)
            *truncated = text.size() >= maxRequest;
        why = text.size() >= maxRequest ? "request headers larger than the limit"
                                        : "no end of the request headers";
        return false;
    }
    std::string_view head = text.substr(0, headEnd);
    size_t lineEnd = head.find('\n');
    std::string_view line = trimmed(head.substr(0, lineEnd));
    head = lineEnd == std::string_view::npos ? std::string_view() : head.substr(lineEnd + 1);

    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || !line.substr(sp2 + 1).starts_with("HTTP/1.")) {
        why = "not an HTTP/1.x request line";
        return false;
    }
    out.method = line.substr(0, sp1);
    out.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    if (out.method.empty() || out.target.empty()) {
        why = "not an HTTP/1.x request line";
        return false;
    }
    const size_t q = out.target.find('?');
    out.path = out.target.substr(0, q);
    out.query = q == std::string_view::npos ? std::string_view() : out.target.substr(q + 1);

    while (!head.empty()) {
        lineEnd = head.find('\n');
        std::string_view h = head.substr(0, lineEnd);
        head = lineEnd == std::string_view::npos ? std::string_view() : head.substr(lineEnd + 1);
        h = trimmed(h);
        if (h.empty())
            continue;
        const size_t colon = h.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            why = "a header line without a name";
            return false;
        }
        if (out.headers.size() >= kMaxRequestHeaders) {
            why = "more than " + std::to_string(kMaxRequestHeaders) + " headers";
            return false;
        }
        out.headers.emplace_back(lower(trimmed(h.substr(0, colon))), trimmed(h.substr(colon + 1)));
    }

    if (const std::string_view* te = out.header("transfer-encoding");
        te && !sameNoCase(*te, "identity")) {
        why = "chunked bodies are not taken (send Content-Length)";
        return false;
    }
    size_t length = 0;
    if (const std::string_view* cl = out.header("content-length")) {
        const auto [end, ec] = std::from_chars(cl->data(), cl->data() + cl->size(), length);
        if (ec != std::errc() || end != cl->data() + cl->size()) {
            why = "Content-Length is not a number";
            return false;
        }
    }
    const std::string_view rest = text.substr(bodyStart);
    if (rest.size() < length) {
        const bool cut = text.size() >= maxRequest || length > maxRequest;
        if (truncated)
            *truncated = cut;
        why = cut ? "request larger than " + std::to_string(maxRequest) + " bytes"
                  : "body shorter than its Content-Length";
        return false;
    }
    out.body = rest.substr(0, length);
    return true;
}

bool parseFormParams(std::string_view text, std::vector<std::pair<std::string, std::string>>& out,
                     std::string& why) {
    out.clear();
    while (!text.empty()) {
        const size_t amp = text.find('&');
        std::string_view pair = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
        if (pair.empty())
            continue;
        if (out.size() >= kMaxRequestParams) {
            why = "more than " + std::to_string(kMaxRequestParams) + " parameters";
            return false;
        }
        const size_t eq = pair.find('=');
        std::string rawName(pair.substr(0, eq));
        std::string rawValue(eq == std::string_view::npos ? std::string_view()
                                                          : pair.substr(eq + 1));
        for (std::string* s : {&rawName, &rawValue})
            for (char& c : *s)
                if (c == '+')
                    c = ' ';
        std::string name, value;
        if (!percentDecode(rawName, name) || !percentDecode(rawValue, value)) {
            why = "a malformed parameter";
            return false;
        }
        out.emplace_back(std::move(name), std::move(value));
    }
    return true;
}

bool parseBasicAuth(std::string_view value, std::string& user, std::string& password) {
    value = trimmed(value);
    const size_t sp = value.find(' ');
    if (sp == std::string_view::npos || !sameNoCase(value.substr(0, sp), "basic"))
        return false;
    std::string decoded;
    if (!base64Decode(trimmed(value.substr(sp + 1)), decoded))
        return false;
    const size_t colon = decoded.find(':');
    if (colon == std::string::npos)
        return false;
    user = decoded.substr(0, colon);
    password = decoded.substr(colon + 1);
    return true;
}
