#include "trace/notice.h"

#include "trace/trace.h"

#include <mutex>

namespace {

// Bounded, so that a failure repeated on every pass cannot grow it without end.
constexpr size_t kMaxWaitingNotices = 20;

std::mutex g_noticeMutex;
std::vector<std::string> g_notices;

} // namespace

void noticeUser(const char* where, const std::string& text) {
    ::trace(::TraceSite{__FILE__, where, __LINE__, 1, kTraceNotice}, "%s", text.c_str());
    std::lock_guard<std::mutex> lock(g_noticeMutex);
    if (g_notices.size() < kMaxWaitingNotices)
        g_notices.push_back(text);
}

std::vector<std::string> takeUserNotices() {
    std::lock_guard<std::mutex> lock(g_noticeMutex);
    std::vector<std::string> out;
    out.swap(g_notices);
    return out;
}
