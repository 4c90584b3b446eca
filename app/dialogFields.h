// What the small settings dialogs do with the texts typed into their fields:
// trim them, read whole numbers out of them within sane limits, and refuse a
// server field that holds more than a host name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The text without blanks and tabs at either end.
std::string trimBlanks(const std::string& text);

// A whole decimal number ("  42 ", "-5", "+7"), clamped to [low, high]; a
// number too large for any integer (10^30) counts as the limit it passes.
// Text that is not a number (empty, "12s", "ten", "1.5") gives nothing.
std::optional<int32_t> readWholeNumber(const std::string& text, int32_t low, int32_t high);

// Why `host` (already trimmed) cannot be a server name, or empty when it can:
// a name with blanks inside, a scheme ("ftp://host") or a path ("host/dir")
// would only fail later, at every connection, without the user seeing why.
// An empty name is allowed (the service is simply not set up). The message
// gives `example` as a host name of the right kind.
std::string hostNameProblem(const std::string& host, const std::string& example);
