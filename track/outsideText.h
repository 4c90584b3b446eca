// Text from outside (tracker posts, peers, services, files the user edits) is
// made safe where it enters: bytes that are not valid UTF-8 and control
// characters are replaced, so a name can neither break the XML documents it
// is written into nor hide escape sequences for a terminal or the log.
#pragma once

#include <string>
#include <string_view>

// What stands in for each refused byte or character.
constexpr char kReplacedChar = '?';

// The length of the valid UTF-8 sequence at the start of `text` (1 to 4,
// shortest form, no surrogates, at most U+10FFFF), or 0 when there is none.
// `codePoint` receives its value.
size_t utf8SequenceAt(std::string_view text, char32_t& codePoint);

// Appends `text` with every invalid byte and every C0 or C1 control character
// (U+0000-U+001F, U+007F-U+009F) replaced by kReplacedChar; tab, line feed
// and carriage return stay when `keepLineBreaks`. U+FFFE and U+FFFF, which XML
// refuses, are replaced too.
void appendCleanText(std::string& out, std::string_view text, bool keepLineBreaks = false);
std::string cleanText(std::string_view text);

// A vehicle key as documents carry it when it must stay a key: cleanText of
// it, and when that changed anything, "~" and 8 hex digits of a hash of the
// key, so that two keys never become one (at most kCleanKeySuffix bytes more
// than the key).
constexpr size_t kCleanKeySuffix = 9;
std::string cleanKey(std::string_view key);

// Outside text as the trace log shows it: at most `max` bytes of `text`
// ("..." follows when it was longer), every control character (C0, DEL and
// C1, line breaks included) written as "\xNN" for each of its bytes, and
// bytes that are not UTF-8 replaced by kReplacedChar. A server can neither
// forge a log line nor smuggle terminal escapes into it.
constexpr size_t kLogTextMax = 512;
std::string logText(std::string_view text, size_t max = kLogTextMax);

// The stem of a file named after a vehicle key (the key is chosen by trackers
// and peers). Letters, digits, any other printable non-ASCII character and
// " @._-+,()" stay; '/' becomes '.', everything else '_'. The stem never
// starts with '.', is never empty and is at most kSafeStemMax bytes; when any
// of this changed the key, "~" and 8 hex digits of a hash of the key follow,
// so that two keys never share a file. A key that needed no change keeps its
// name, so files stored under it still load.
constexpr size_t kSafeStemMax = 200;
std::string safeFileStem(std::string_view key);

// Appends `text` as a JSON string, quotes included: cleaned as every outside
// text is (bytes that are not UTF-8 become '?'), then control bytes, quotes,
// backslashes and "<>&" escaped, so the text is safe inside HTML too.
void appendJsonString(std::string& out, std::string_view text);
