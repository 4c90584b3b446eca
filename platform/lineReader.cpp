#include "platform/lineReader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

LineReader::LineReader(int fd, size_t blockSize)
    : m_fd(fd), m_buf(std::max<size_t>(blockSize, 1)) {}

bool LineReader::next(std::string_view& line) {
    for (;;) {
        const char* base = m_buf.data();
        if (m_pos < m_have) {
            const void* nl = std::memchr(base + m_pos, '\n', m_have - m_pos);
            if (nl) {
                const size_t start = m_pos;
                const size_t end = static_cast<size_t>(static_cast<const char*>(nl) - base);
                m_pos = end + 1;
                if (m_skipping) { // the rest of an over-long line
                    m_skipping = false;
                    continue;
                }
                line = std::string_view(base + start, end - start);
                return true;
            }
        }
        if (m_eof || m_error) {
            const bool last = m_pos < m_have && !m_skipping && !m_error;
            if (last)
                line = std::string_view(base + m_pos, m_have - m_pos);
            m_pos = m_have;
            m_skipping = false;
            return last;
        }
        if (!fill())
            return false;
    }
}

// Keeps the unfinished line, then reads as much as fits behind it.
bool LineReader::fill() {
    if (m_pos > 0) {
        std::memmove(m_buf.data(), m_buf.data() + m_pos, m_have - m_pos);
        m_have -= m_pos;
        m_pos = 0;
    }
    if (m_have == m_buf.size()) { // a whole block without a line end
        if (!m_skipping)
            ++m_overlong;
        m_have = 0;
        m_skipping = true;
    }
    for (;;) {
        const ssize_t n = ::read(m_fd, m_buf.data() + m_have, m_buf.size() - m_have);
        if (n > 0) {
            m_have += static_cast<size_t>(n);
            return true;
        }
        if (n == 0) {
            m_eof = true;
            return true;
        }
        if (errno != EINTR) {
            m_error = errno;
            return false;
        }
    }
}
