// What a person types into a phone app to make it report to this program:
// the URLs of each kind of app and a QR code of them for the phone's camera.
#pragma once

#include "phones/phoneReport.h"

#include <string>
#include <string_view>
#include <vector>

// The apps a phone may run; each fixes how its OsmAnd speed is meant.
enum class PhoneKind { traccar, osmand, owntracks };

// "traccar", "osmand", "owntracks" (false for anything else).
bool phoneKindFromName(std::string_view name, PhoneKind& kind);
const char* phoneKindName(PhoneKind kind);
// The speed unit of the OsmAnd parameter that the app sends.
PhoneSpeedUnit phoneKindSpeedUnit(PhoneKind kind);

// "http://HOST:PORT/KEY": Traccar Client's server URL (the identifier is
// typed separately) and OwnTracks' HTTP URL (user = identifier, password =
// key, or the key in the URL as here).
std::string phoneServerUrl(const std::string& host, int port, const std::string& key);
// OsmAnd's online tracking URL: the server URL with the identifier and
// OsmAnd's placeholders.
std::string osmandTrackingUrl(const std::string& host, int port, const std::string& key,
                              const std::string& identifier);
// The URL that the QR code of a phone carries for its kind.
std::string phoneSetupUrl(PhoneKind kind, const std::string& host, int port, const std::string& key,
                          const std::string& identifier);
// The identifier made from a name: letters, digits, '.', '_' and '-' kept,
// anything else becomes '-', at most kPhoneIdMax characters; empty when
// nothing usable is left.
std::string phoneIdFromName(std::string_view name);

// The modules of a QR code of `text` (rows of dark = true), quiet zone not
// included; empty when the text does not fit a QR code.
std::vector<std::vector<bool>> qrModules(const std::string& text);
// The code drawn with blocks for a terminal, two rows per line, with its
// quiet zone (dark modules as blanks on a light block background, so a
// dark terminal shows it right way round).
std::string qrTerminalText(const std::vector<std::vector<bool>>& modules);
