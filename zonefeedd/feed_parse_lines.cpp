#include "feed_parse_lines.h"

#include <cstring>

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

bool is_comment(std::string_view text) {
    return !text.empty() && text[0] == '#';
}

} // namespace

int get_line_end(std::string_view text) {
    size_t lf = text.find('\n');
    if (lf == std::string_view::npos)
        return LINE_END_BAD;
    std::string_view first = text.substr(0, lf);
    size_t cr = first.find('\r');
    if (cr == std::string_view::npos)
        return LINE_END_LF;
    return cr + 1 == lf ? LINE_END_CRLF : LINE_END_BAD;
}

std::string_view trim_blanks(std::string_view text) {
    size_t b = 0, e = text.size();
    while (b < e && is_blank(text[b]))
        ++b;
    while (e > b && is_blank(text[e - 1]))
        --e;
    return text.substr(b, e - b);
}

bool read_line(feed_reader &reader, feed_line &line) {
    if (reader.pos >= reader.text.size())
        return false;
    const char *base = reader.text.data();
    size_t size = reader.text.size();
    const void *lf = memchr(base + reader.pos, '\n', size - reader.pos);
    size_t end = lf ? static_cast<size_t>(static_cast<const char *>(lf) - base) : size;
    line.offset = reader.pos;
    line.text = trim_blanks(reader.text.substr(reader.pos, end - reader.pos));
    line.number = ++reader.line;
    reader.pos = lf ? end + 1 : size;
    return true;
}

int read_header_line(feed_reader &reader, feed_line &header) {
    feed_line line;
    while (read_line(reader, line)) {
        if (line.text.empty() || line.text[0] == '#' || line.text[0] == '/')
            continue;
        if (line.text.back() != '{')
            return -1;
        line.text = trim_blanks(line.text.substr(0, line.text.size() - 1));
        if (line.text.empty())
            return -1;
        header = line;
        return 0;
    }
    return 1;
}

bool read_body_line(feed_reader &reader, body_line &out) {
    feed_line line;
    while (read_line(reader, line)) {
        if (line.text.empty())
            continue;
        out.number = line.number;
        out.comment = is_comment(line.text);
        out.closes = line.text.back() == '}';
        out.text = out.closes ? trim_blanks(line.text.substr(0, line.text.size() - 1)) : line.text;
        return true;
    }
    return false;
}

int skip_rec_zone(feed_reader &reader) {
    body_line line;
    while (read_body_line(reader, line))
        if (line.closes)
            return 0;
    return -1;
}

int next_block(feed_reader &reader, feed_block &block) {
    feed_line header;
    int rc = read_header_line(reader, header);
    if (rc != 0)
        return rc;
    block.header = header.text;
    block.start = header.offset;
    block.header_line = header.number;
    block.closed = skip_rec_zone(reader) == 0;
    block.end = reader.pos;
    return 0;
}
