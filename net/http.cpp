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
