// The few things non-UI code asks of the desktop: show a message to the user,
// put text on the clipboard, open a web address. The Qt front end installs its
// own implementation; without one (headless mode, tests) messages go to stderr
// and the trace log, and the clipboard is a process-local text.
//
// Every call may come from any thread (listener and worker threads report
// problems that need the user's action). Implementations hand the work to
// their own UI thread as needed.
#pragma once

#include <string>

class UiServices {
public:
    virtual ~UiServices() = default;
    virtual void messageBox(const std::string& text, const std::string& title) = 0;
    // Returns false when the clipboard could not be set.
    virtual bool setClipboardText(const std::string& text) = 0;
    // Returns false when no browser could be asked to open the address.
    virtual bool openUrl(const std::string& url) = 0;
};

// The implementation in use: the one installed last, or the headless one.
UiServices& uiServices();
// Installs `services` (not owned; it must outlive its use). nullptr restores
// the headless implementation.
void setUiServices(UiServices* services);

// The headless implementation (also useful to read back the clipboard text).
class HeadlessUiServices : public UiServices {
public:
    void messageBox(const std::string& text, const std::string& title) override;
    bool setClipboardText(const std::string& text) override;
    bool openUrl(const std::string& url) override;
    std::string clipboardText() const;
};

// Shows a message through the installed implementation.
void showMessage(const std::string& text, const std::string& title = "Nivra");
// Shows the message only the first time `onceKey` is used in this process;
// returns true when it was shown now. Messages about a condition that repeats
// (a port in use, retried every two seconds) use it so the user is told once.
bool showMessageOnce(const std::string& onceKey, const std::string& text,
                     const std::string& title = "Nivra");
// Forgets every key given to showMessageOnce (for tests).
void resetMessagesShown();
