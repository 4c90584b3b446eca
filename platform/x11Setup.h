// The first exchange of the X11 protocol: the connection setup, in which the
// server says whether it takes the client at all. A socket that accepts is
// not yet an X server that lets us in (a wrong cookie, a full server, a
// program that is no X server): Qt ends the whole process when the setup
// fails, so the program asks itself first. The cookie comes from the
// Xauthority file, as the X library picks it.
#pragma once

#include <string>
#include <string_view>

class Socket;

// An authorization from the Xauthority file.
struct XAuthCookie {
    std::string name; // "MIT-MAGIC-COOKIE-1"
    std::string data;
};

// The Xauthority family of an entry for this machine (the address is its
// host name), of an IPv4 address, and of any address.
constexpr unsigned kXAuthLocal = 256;
constexpr unsigned kXAuthInternet = 0;
constexpr unsigned kXAuthWild = 65535;

// The entry of the Xauthority file's bytes `file` for display `number` at
// `address` of `family` (a wild entry matches any address; an entry without
// a number matches any display). False when there is none or the file is
// damaged before one was found.
bool findXAuthCookie(std::string_view file, unsigned family, std::string_view address,
                     std::string_view number, XAuthCookie& cookie);

// The setup request, in this machine's byte order, with `cookie` if any.
std::string x11SetupRequest(const XAuthCookie* cookie);

// Sends the setup request on the connected `s` and reads the server's first
// answer within `timeoutMs`. Empty when the server takes the client, else why
// not, in words for the user ("refused the connection: No protocol specified").
std::string x11Setup(Socket& s, const XAuthCookie* cookie, unsigned timeoutMs);
