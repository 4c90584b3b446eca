// A desktop that records message boxes instead of showing them, installed
// while it lives. The clipboard and web addresses behave as without a desktop
// (the clipboard is a process-local text that clipboardText() reads back).
#pragma once

#include "platform/uiServices.h"

#include <mutex>
#include <string>
#include <vector>

class RecordingUi : public HeadlessUiServices {
public:
    RecordingUi() { setUiServices(this); }
    ~RecordingUi() override { setUiServices(nullptr); }
    RecordingUi(const RecordingUi&) = delete;
    RecordingUi& operator=(const RecordingUi&) = delete;

    void messageBox(const std::string& text, const std::string& title) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_shown.push_back({title, text});
    }
    // Each message shown so far as "title: text".
    std::vector<std::string> messages() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> out;
        for (const Shown& s : m_shown)
            out.push_back(s.title + ": " + s.text);
        return out;
    }
    // The text alone of each message shown so far.
    std::vector<std::string> texts() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> out;
        for (const Shown& s : m_shown)
            out.push_back(s.text);
        return out;
    }

private:
    struct Shown {
        std::string title;
        std::string text;
    };
    mutable std::mutex m_mutex;
    std::vector<Shown> m_shown;
};
