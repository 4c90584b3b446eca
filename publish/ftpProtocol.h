// The pieces of the FTP exchange that read what a server sends and check what
// the publisher is about to send: reply framing (single and multi-line
// replies), the PASV address, and the published file name. Pure functions; the
// publisher (publish/ftpPublisher.h) does the talking.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The longest reply kept; a server that sends more without ending its reply is
// not an FTP server.
constexpr size_t kFtpReplyMax = 8192;
// The longest published file name, directory included.
constexpr size_t kFtpFileNameMax = 255;

// Takes one complete reply off the front of `pending` into `reply`: a line
// "ddd text", or the lines from "ddd-text" to the line that starts "ddd ".
// 1 when a reply was taken, 0 when more bytes are needed, -1 when the bytes
// are no reply at all (no code, or longer than kFtpReplyMax).
int takeFtpReply(std::string& pending, std::string& reply);

// The three-digit code that starts a reply, or 0.
int ftpReplyCode(std::string_view reply);

// The data address of a "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)"
// reply. False (and nothing set) unless there is a '(' followed by six
// numbers from 0 to 255 and the port is not 0.
bool parsePassiveReply(std::string_view reply, std::string& host, int& port);

// Splits a published file name into the server directory and the file name:
// leading blanks are skipped; the part after the last '/' or '\' is the name.
// Returns an empty text when the name can be used, else why not: an empty
// name, a ".." step, too long, or control characters (which would end the
// command line early and start another).
std::string splitFtpFileName(std::string_view fileName, std::string& directory, std::string& name);

// True when `text` can go into one command line: no CR, LF or other control
// character.
bool fitsFtpCommand(std::string_view text);
