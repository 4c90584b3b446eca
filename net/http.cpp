#include "net/http.h"

#include "platform/numeric.h"

bool percentDecode(std::string_view in, std::string& out) {
    out.clear();
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '%') {
            if (i + 2 >= in.size())
                return false;
            const int hi = hexDigit(in[i + 1]);
            const int lo = hexDigit(in[i + 2]);
            if (hi < 0 || lo < 0)
                return false;
            c = static_cast<char>(hi * 16 + lo);
            i += 2;
        }
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            return false;
        out += c;
    }
    return true;
}

std::string listenerUrl(const std::string& listenAddress, int port) {
    const std::string host =
        listenAddress.empty() || listenAddress == "0.0.0.0" ? "127.0.0.1" : listenAddress;
    return "http://" + host + ":" + std::to_string(port);
}

std::string httpReply(std::string_view status, std::string_view contentType, std::string_view body,
                      unsigned maxAgeSeconds) {
    std::string text = "HTTP/1.1 ";
    text += status;
    text += "\r\nContent-Type: ";
    text += contentType;
    text += "\r\nContent-Length: " + std::to_string(body.size());
    text += maxAgeSeconds > 0 ? "\r\nCache-Control: max-age=" + std::to_string(maxAgeSeconds)
                              : std::string("\r\nCache-Control: no-store");
    text += "\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n";
    text.reserve(text.size() + body.size());
    text += body;
    return text;
}

std::string httpNotFound(std::string_view why) {
    std::string body = "404 not found: ";
    body += why;
    body += '\n';
    return httpReply("404 Not Found", "text/plain; charset=utf-8", body);
}

std::string httpMethodNotAllowed(std::string_view method) {
    std::string body = "405 method not allowed: ";
    for (char c : method.substr(0, 32))
        body += (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7e) ? '?'
                                                                                               : c;
    body += " (GET and HEAD only)\n";
    std::string text = httpReply("405 Method Not Allowed", "text/plain; charset=utf-8", body);
    // The Allow header joins the others, ahead of the blank line.
    text.insert(text.find("\r\n\r\n") + 2, "Allow: GET, HEAD\r\n");
    return text;
}

std::string_view httpHeadPart(std::string_view reply) {
    // Headers end at the first blank line, with or without carriage returns.
    const size_t crlf = reply.find("\r\n\r\n");
    const size_t lf = reply.find("\n\n");
    if (crlf == std::string_view::npos && lf == std::string_view::npos)
        return reply;
    if (lf == std::string_view::npos || (crlf != std::string_view::npos && crlf < lf))
        return reply.substr(0, crlf + 4);
    return reply.substr(0, lf + 2);
}

std::string_view httpRequestLine(std::string_view request) {
    // A plain scan: find_first_of searches its set once for every character,
    // and a globe page's request line is kilobytes long.
    size_t end = 0;
    while (end < request.size() && request[end] != '\r' && request[end] != '\n')
        ++end;
    return request.substr(0, end);
}

std::string_view httpMethod(std::string_view request) {
    const std::string_view line = httpRequestLine(request);
    const size_t blank = line.find(' ');
    return blank == std::string_view::npos ? std::string_view() : line.substr(0, blank);
}
