// Headless mode's word to the service manager (a systemd unit of
// Type=notify): "READY=1" once every listener has opened its port, so that
// whatever waits for the service finds the ports open; "STOPPING=1" when the
// shutdown begins. A run whose ports cannot be opened ends instead, and the
// manager sees the failed start.
#pragma once

#include <functional>
#include <string>

class ServiceReadiness {
public:
    // Sends one state datagram; false with the reason when it could not.
    using Send = std::function<bool(const std::string& state, std::string& error)>;

    // `send` defaults to notifyServiceManager (NOTIFY_SOCKET).
    explicit ServiceReadiness(Send send = Send());

    // The listeners are open (sent once; later calls do nothing).
    void ready();
    // The shutdown begins (sent once).
    void stopping();

    bool isReady() const { return m_ready; }

private:
    void send(const std::string& state);

    Send m_send;
    bool m_ready = false;
    bool m_stopping = false;
};
