// One window program per settings file. The first start listens on a UNIX
// socket in the user's runtime directory; a second start with the same
// settings asks it to come to the front and ends, instead of opening a
// second window whose listeners cannot bind their ports and whose settings
// would overwrite the first's. The socket's name comes from the settings
// file's path, so runs with settings of their own (a second profile, tests)
// do not meet. User-interface thread only.
#pragma once

#include <string>

// Where the socket for the settings file `registryPath` lives: in
// `runtimeDir` ($XDG_RUNTIME_DIR), or, when that is empty, in
// /tmp/nivra-UID. Empty when no private directory can be had.
std::string singleInstanceSocketPath(const std::string& runtimeDir,
                                     const std::string& registryPath);

class CSingleInstance {
public:
    enum class Claim {
        First,  // no other copy runs: this one now listens
        Raised, // another copy runs and was asked to come to the front
        Failed, // neither could be done (the reason is given): run as if alone
    };

    CSingleInstance() = default;
    ~CSingleInstance();
    CSingleInstance(const CSingleInstance&) = delete;
    CSingleInstance& operator=(const CSingleInstance&) = delete;

    // Claims the socket at `path`. A socket file that nobody answers on (left
    // by a copy that was killed) is removed and taken over.
    Claim claim(const std::string& path, std::string& why);

    // The listening socket, to be watched for readability; -1 unless claimed.
    int fd() const { return m_fd; }

    // Answers the requests waiting on the socket; the number of them that
    // asked for the window. Waits at most `waitMs` for each asker's words,
    // and only takes them from the same user.
    int takeRequests(unsigned waitMs = 200);

private:
    int m_fd = -1;
    std::string m_path;
};
