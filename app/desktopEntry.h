// The program's place in the desktop's application menu: a freedesktop
// desktop entry and an icon installed for the current user under
// $XDG_DATA_HOME (default ~/.local/share). `nivra --register` installs them,
// `nivra --unregister` removes them; neither shows a window.
#pragma once

#include <string>

struct DesktopPaths {
    std::string entry; // .../applications/nivra.desktop
    std::string icon;  // .../icons/hicolor/scalable/apps/nivra.svg
};

// Where the entry and the icon go for the current environment; empty paths
// when neither XDG_DATA_HOME nor HOME is set.
DesktopPaths desktopPaths();

// The text of the desktop entry that starts `executable`.
std::string desktopEntryText(const std::string& executable);

// Writes both files (each replaced atomically). Returns false, with `error`
// set, when a directory or file could not be written.
bool registerDesktopEntry(const std::string& executable, std::string& error);
// Removes both files; files already absent are not an error. `removedAny`
// (when given) tells whether there was anything to remove.
bool unregisterDesktopEntry(std::string& error, bool* removedAny = nullptr);
