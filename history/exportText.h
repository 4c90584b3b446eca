// The pieces the exporters share: a buffered text output that hands full
// chunks to a sink (a file, standard output, a reply), fast number
// formatting, and escaping of outside text (vehicle keys) for XML and JSON.
#pragma once

#include <functional>
#include <string>
#include <string_view>

// Takes each chunk of the document; false stops the writer (a write failed).
using TextSink = std::function<bool(std::string_view)>;

class ChunkedText {
public:
    explicit ChunkedText(const TextSink& sink, size_t chunk = 1 << 16)
        : m_sink(sink), m_chunk(chunk) {
        m_buffer.reserve(chunk + 1024);
    }
    std::string& buffer() { return m_buffer; }
    ChunkedText& operator<<(std::string_view text) {
        m_buffer += text;
        return *this;
    }
    // Hands the buffer on when it is full. False once the sink failed.
    bool spill() {
        if (m_buffer.size() >= m_chunk)
            return finish();
        return m_ok;
    }
    // Hands the rest on. False when the sink failed at any time.
    bool finish() {
        if (m_ok && !m_buffer.empty())
            m_ok = m_sink(m_buffer);
        m_buffer.clear();
        return m_ok;
    }

private:
    const TextSink& m_sink;
    size_t m_chunk;
    std::string m_buffer;
    bool m_ok = true;
};

// `value` with `decimals` digits after the point (C locale, no exponent).
void appendFixed(std::string& out, double value, int decimals);
// Outside text goes into XML through appendXmlText and into JSON through
// appendJsonString (track/outsideText.h).

// Whether `name` ends in `ending` (lower case), in any case.
bool nameEndsWith(std::string_view name, std::string_view ending);
