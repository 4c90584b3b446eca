// Reading a file's lines in large blocks: one read() per block, no copy and
// no allocation per line. Lines end at "\n", which is not part of the line
// (a "\r" before it is); a last line without "\n" still counts. A line longer
// than a block cannot be a record of any format the program reads: it is
// passed over whole and counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

class LineReader {
public:
    static constexpr size_t kDefaultBlock = size_t{1} << 20;

    // Reads from `fd` (not owned, not closed). `blockSize` is at least 1.
    explicit LineReader(int fd, size_t blockSize = kDefaultBlock);

    // The next line; the view stays valid until the next call. False at the
    // end of the file or on a read error (then error() is the errno).
    bool next(std::string_view& line);

    int error() const { return m_error; }
    // Lines passed over because they were longer than a block.
    int64_t overlong() const { return m_overlong; }

private:
    bool fill();

    int m_fd;
    std::vector<char> m_buf;
    size_t m_pos = 0;  // start of the unread text
    size_t m_have = 0; // end of the text in the buffer
    bool m_eof = false;
    bool m_skipping = false; // inside an over-long line
    int m_error = 0;
    int64_t m_overlong = 0;
};
