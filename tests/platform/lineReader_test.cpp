// Reading a log's lines in blocks: lines that straddle a block boundary come
// out whole, line ends are cut off but a CR before them is kept, a last line
// without its line end still counts, and a line that fills a whole block is
// passed over (and counted) without disturbing the lines around it.
#include "platform/lineReader.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The text in a pipe, closed behind it: the reader sees it, then the end.
int pipeWith(const std::string& text) {
    int fds[2];
    if (::pipe(fds) != 0)
        return -1;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fds[1], text.data() + done, text.size() - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    ::close(fds[1]);
    return fds[0];
}

struct Read {
    std::vector<std::string> lines;
    int64_t overlong = 0;
    int error = 0;
};

Read readAll(int fd, size_t block) {
    Read r;
    LineReader reader(fd, block);
    std::string_view line;
    while (reader.next(line))
        r.lines.emplace_back(line);
    r.overlong = reader.overlong();
    r.error = reader.error();
    return r;
}

struct Case {
    const char* what;
    std::string text;
    size_t block;
    std::vector<std::string> lines;
    int64_t overlong;
};

} // namespace

TEST(LineReader, SplitsLinesWhateverTheBlocks) {
    const std::string longLine(40, 'x');
    const std::vector<Case> cases = {
        {"plain lines", "$GPRMC,1\n$GPGGA,2\n", 1024, {"$GPRMC,1", "$GPGGA,2"}, 0},
        {"CR LF keeps the CR", "a\r\nb\r\n", 1024, {"a\r", "b\r"}, 0},
        {"no line end at the end", "a\nlast", 1024, {"a", "last"}, 0},
        {"empty lines count", "\n\na\n", 1024, {"", "", "a"}, 0},
        {"empty file", "", 1024, {}, 0},
        {"lines across block boundaries",
         "abc\ndefgh\nij\nklmnop\n",
         8,
         {"abc", "defgh", "ij", "klmnop"},
         0},
        {"one byte short of a block fits", "1234567\nab\n", 8, {"1234567", "ab"}, 0},
        {"a line that fills a block is passed over", "12345678\nab\n", 8, {"ab"}, 1},
        {"an over-long line between others", "ab\n" + longLine + "\ncd\n", 8, {"ab", "cd"}, 1},
        {"two over-long lines", longLine + "\n" + longLine + "\nok\n", 8, {"ok"}, 2},
        {"an over-long last line without line end", "ab\n" + longLine, 8, {"ab"}, 1},
        {"a CR LF split by the block boundary", "abcdef\r\ngh\r\n", 8, {"abcdef\r", "gh\r"}, 0},
        {"NUL bytes are text", std::string("a\0b\nc\n", 6), 1024, {std::string("a\0b", 3), "c"}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int fd = pipeWith(c.text);
        ASSERT_GE(fd, 0);
        const Read r = readAll(fd, c.block);
        ::close(fd);
        EXPECT_EQ(r.lines, c.lines);
        EXPECT_EQ(r.overlong, c.overlong);
        EXPECT_EQ(r.error, 0);
    }
}

TEST(LineReader, AReadErrorEndsTheLinesAndIsReported) {
    // Reading a directory fails with EISDIR.
    const int fd = ::open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    const Read r = readAll(fd, 64);
    ::close(fd);
    EXPECT_TRUE(r.lines.empty());
    EXPECT_EQ(r.error, EISDIR);
}
