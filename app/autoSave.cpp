#include "app/autoSave.h"

#include "app/testDlg.h"
#include "platform/paths.h"
#include "remote/client.h"
#include "trace/trace.h"

SaveOutcome saveTracksAndVehicles(CClients& clients) {
    SaveOutcome out;
    // "Nivra.trk" always holds the real local vehicle's track, also while the
    // demo or a playback stands in for it.
    CClient* local = clients.realLocalVehicle();
    bool hasRing = false;
    if (local) {
        TrackLockGuard lock; // the intake gives a track its ring meanwhile
        hasRing = local->track.hasRing();
    }
    std::string why;
    if (hasRing && !local->track.saveIfChanged(FullPath(kLocalTrackFile), &why))
        out.failures.push_back(why);
    clients.save(true, &out.failures);
    return out;
}

std::string saveFailureText(const SaveOutcome& outcome) {
    std::string text = "Saving failed:";
    for (size_t i = 0; i < outcome.failures.size(); ++i)
        text += (i ? "; " : " ") + outcome.failures[i];
    return text;
}

bool CBackgroundSave::start() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_running)
        return false;
    if (m_thread.joinable())
        m_thread.join(); // the last save has ended; only its thread is left
    m_running = true;
    m_thread = std::thread([this] {
        SaveOutcome outcome;
        try {
            outcome = saveTracksAndVehicles(m_clients);
        } catch (...) {
            NTRACE("Unhandled exception in save thread");
            outcome.failures.push_back("an unexpected error in the save");
        }
        std::lock_guard<std::mutex> done(m_mutex);
        m_outcome = std::move(outcome);
        m_running = false;
    });
    return true;
}

std::optional<SaveOutcome> CBackgroundSave::takeOutcome() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::optional<SaveOutcome> out;
    out.swap(m_outcome);
    return out;
}

void CBackgroundSave::wait() {
    std::thread t;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        t.swap(m_thread);
    }
    if (t.joinable())
        t.join();
}

bool CBackgroundSave::running() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_running;
}
