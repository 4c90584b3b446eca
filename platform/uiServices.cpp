#include "platform/uiServices.h"

#include "trace/journal.h"
#include "trace/trace.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <set>

namespace {

HeadlessUiServices& headless() {
    static HeadlessUiServices services;
    return services;
}

std::atomic<UiServices*> g_services{nullptr};

std::mutex g_textMutex; // the headless clipboard and the shown-once keys
std::string g_clipboard;
std::set<std::string> g_shownOnce;

} // namespace

UiServices& uiServices() {
    UiServices* s = g_services.load();
    return s ? *s : headless();
}

void setUiServices(UiServices* services) {
    g_services.store(services);
}

void HeadlessUiServices::messageBox(const std::string& text, const std::string& title) {
    std::fputs(stderrLines(kJournalWarning, title + ": " + text).c_str(), stderr);
    NTRACE_AS("messageBox", "%s: %s", title.c_str(), text.c_str());
}

bool HeadlessUiServices::setClipboardText(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_textMutex);
    g_clipboard = text;
    return true;
}

bool HeadlessUiServices::openUrl(const std::string& url) {
    std::fputs(stderrLines(kJournalInfo, "Nivra: open " + url).c_str(), stderr);
    NTRACE_AS("openUrl", "no desktop to open %s", url.c_str());
    return false;
}

std::string HeadlessUiServices::clipboardText() const {
    std::lock_guard<std::mutex> lock(g_textMutex);
    return g_clipboard;
}

void showMessage(const std::string& text, const std::string& title) {
    uiServices().messageBox(text, title);
}

bool showMessageOnce(const std::string& onceKey, const std::string& text,
                     const std::string& title) {
    {
        std::lock_guard<std::mutex> lock(g_textMutex);
        if (!g_shownOnce.insert(onceKey).second)
            return false;
    }
    showMessage(text, title);
    return true;
}

void resetMessagesShown() {
    std::lock_guard<std::mutex> lock(g_textMutex);
    g_shownOnce.clear();
}
