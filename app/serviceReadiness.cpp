#include "app/serviceReadiness.h"

#include "platform/serviceNotify.h"
#include "trace/trace.h"

ServiceReadiness::ServiceReadiness(Send send)
    : m_send(send ? std::move(send) : Send(notifyServiceManager)) {}

void ServiceReadiness::send(const std::string& state) {
    std::string error;
    if (!m_send(state, error))
        NTRACE_WARN("%s", error.c_str());
}

void ServiceReadiness::ready() {
    if (m_ready)
        return;
    m_ready = true;
    send("READY=1\nSTATUS=Running without a window; every port is listening.");
}

void ServiceReadiness::stopping() {
    if (m_stopping)
        return;
    m_stopping = true;
    send("STOPPING=1\nSTATUS=Stopping; saving tracks, vehicles and settings.");
}
