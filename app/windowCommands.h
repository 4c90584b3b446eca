// The main window's one-shot commands: the KML snapshot of the save button,
// the position text that Ctrl+C puts on the clipboard.
#pragma once

#include <ctime>
#include <string>

class CClient;
class RegistryStore;
struct KmlOptions;

// "<key>_MMDDYY_hhmmss.kml" of the local time `local`; a '/' in the key
// becomes '.', as in track file names, so the name stays one file.
std::string snapshotFileName(const std::string& key, const struct tm& local);

// The directory a snapshot goes to: the SaveDirectory value of the program's
// registry key, or the start directory when the value or the key is missing
// (a fresh installation has no key until the first settings save).
std::string snapshotDirectory(RegistryStore& registry);

// Writes the vehicle's standalone KML document (written with `opt`) into
// `dir` under the name for `now`. Returns the full path, or an empty text
// after telling the user "Error Saving <path>".
std::string saveSnapshot(CClient& vehicle, const std::string& dir, time_t now,
                         const KmlOptions& opt);

// "lat,lon" with five decimals ("51.50000,-0.12000"); empty without a vehicle.
std::string positionText(const CClient* vehicle);

// Whether the vehicle has ever had a position: a fix time or coordinates
// other than the 0, 0 a vehicle starts with.
bool hasPosition(const CClient& vehicle);
