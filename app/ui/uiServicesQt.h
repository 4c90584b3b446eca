// The desktop's answers to the program's few requests: message boxes,
// clipboard text and opening a web address, with Qt. Calls from worker
// threads are handed to the user-interface thread; a message box never
// blocks the caller (a listener thread that reports a taken port goes on).
#pragma once

#include "platform/uiServices.h"

class QWidget;

// The window that owns every message box: the main window while it exists.
// A box is transient for it, so it opens above the window even when that
// stays on top of everything. UI thread only.
void setDialogOwner(QWidget* owner);
QWidget* dialogOwner();

// A warning over `parent` that waits for the user. Like every message box of
// the program it shows its text as it is, never as rich text: messages quote
// what was typed or read from a file, and "<img src=...>" there is a name,
// not a picture to load.
void warnOver(QWidget* parent, const std::string& title, const std::string& text);

class CQtUiServices : public UiServices {
public:
    void messageBox(const std::string& text, const std::string& title) override;
    bool setClipboardText(const std::string& text) override;
    bool openUrl(const std::string& url) override;
};

// Installs a CQtUiServices for as long as it lives, then restores the
// headless one.
class CQtUiServicesScope {
public:
    CQtUiServicesScope() { setUiServices(&m_services); }
    ~CQtUiServicesScope() { setUiServices(nullptr); }
    CQtUiServicesScope(const CQtUiServicesScope&) = delete;
    CQtUiServicesScope& operator=(const CQtUiServicesScope&) = delete;

private:
    CQtUiServices m_services;
};
