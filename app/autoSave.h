// Saving what must outlive the process: the local track in "Nivra.trk" and
// the vehicle list with every track file, each file only when its track
// changed. The periodic save runs on a thread of its own, so that a slow disk
// never holds up the window; the exit save runs where it is called.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// What a save could not write, one line per file ("the vehicle list ...",
// "replacing /home/u/Nivra.trk: No space left on device").
struct SaveOutcome {
    std::vector<std::string> failures;
    bool ok() const { return failures.empty(); }
};

class CClients;

// Saves the local track and the vehicle list of `clients` with the changed
// tracks. Safe on any thread; the registry and the track lock serialise the
// writers.
SaveOutcome saveTracksAndVehicles(CClients& clients);

// The failures as one line for the user: "Saving failed: ...; ...".
std::string saveFailureText(const SaveOutcome& outcome);

class CBackgroundSave {
public:
    explicit CBackgroundSave(CClients& clients) : m_clients(clients) {}
    CBackgroundSave(const CBackgroundSave&) = delete;
    CBackgroundSave& operator=(const CBackgroundSave&) = delete;
    ~CBackgroundSave() { wait(); }

    // Starts a save unless one still runs (then false: that one is enough).
    bool start();
    // The outcome of a finished save, once; nothing while it runs.
    std::optional<SaveOutcome> takeOutcome();
    // Waits for a running save to end.
    void wait();
    bool running() const;

private:
    CClients& m_clients;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    bool m_running = false;
    std::optional<SaveOutcome> m_outcome;
};
