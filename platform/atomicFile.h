// Replacing a file whole: the text goes to a temporary file beside the target,
// which is then renamed over it, so a reader (a web server, Google Earth) sees
// the old file or the new one, never half of one.
#pragma once

#include <string>
#include <string_view>

// Writes `text` beside `path` and renames it into place. The new file is as
// readable as any new file (0666 less the umask). On failure the target is
// left as it was, the temporary file is removed and `error` says what failed.
bool writeFileAtomically(const std::string& path, std::string_view text, std::string& error);
