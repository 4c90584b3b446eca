// The desktop's answers to the program's few requests: message boxes,
// clipboard text and opening a web address, with Qt. Calls from worker
// threads are handed to the user-interface thread; a message box never
// blocks the caller (a listener thread that reports a taken port goes on).
#pragma once

#include "platform/uiServices.h"

class QWidget;

// The main window, which owns the program's message boxes while nothing
// else is open. UI thread only.
void setDialogOwner(QWidget* owner);
QWidget* dialogOwner();
// The window a message box opens over now: the modal dialog the user works
// in (the options dialog, and a dialog opened from it), else the active
// window of the program, else the main window. A box owned by a window
// below a modal dialog would open under that dialog, out of sight, and wait
// there until the dialog closed. UI thread only.
QWidget* messageOwner();

// A message over `parent` that does not wait: it is modal for `parent`'s
// window only, and deletes itself when the user closes it. Handlers that
// refuse an entry use it: a box that waited would take the focus from the
// field being checked and have it checked again.
void showMessageOver(QWidget* parent, const std::string& title, const std::string& text);

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
