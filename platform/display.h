// Whether a desktop display answers, looked at before any window is tried:
// Qt ends the whole process ("Aborted") when its platform cannot connect, so
// the program asks first and runs headless instead. Used on the main thread
// at start-up.
#pragma once

#include <cstdlib>
#include <functional>
#include <string>

struct DisplayCheck {
    bool reachable = false;
    // When not reachable: what was looked at and why it failed, for the
    // user ("the X display :99 does not answer (Connection refused)").
    std::string why;
};

// The X11 display named `display` (DISPLAY, "[host]:N[.screen]"): its local
// socket (abstract, then /tmp/.X11-unix/XN) when the host is empty or
// "unix", TCP port 6000+N on the host otherwise, within `timeoutMs`; and the
// server must take us in its connection setup, with the cookie of the
// Xauthority file `xauthority` for that display if it has one.
DisplayCheck x11Reachable(const std::string& display, unsigned timeoutMs,
                          const std::string& xauthority = std::string());

// The Wayland compositor `name` (WAYLAND_DISPLAY): an absolute path, or a
// socket of that name in `runtimeDir` (XDG_RUNTIME_DIR).
DisplayCheck waylandReachable(const std::string& name, const std::string& runtimeDir);

// The display the window would use, from the environment `env` (getenv by
// default): a Qt platform chosen in QT_QPA_PLATFORM that needs no display
// ("offscreen", as tests use) counts as reachable; "xcb" needs X11,
// "wayland" Wayland. Without a choice, a Wayland compositor or an X display
// that answers and takes us (its cookie from XAUTHORITY, else ~/.Xauthority).
DisplayCheck displayReachable(const std::function<const char*(const char*)>& env =
                                  [](const char* name) {
                                      return static_cast<const char*>(std::getenv(name));
                                  });
