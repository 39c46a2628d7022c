// The one reader of feed text. Every pass over a feed file (the header scan, the chunk
// cutter and the block parser) takes its lines, its headers and its block ends from here,
// so all passes agree on where each block starts and ends.
//
// Lines are cut at every LF; offsets are real byte offsets into the text. Blanks (space,
// tab, CR, VT, FF) are trimmed from both ends of a line, so a CR before the LF never stays
// in a line, whatever ending the file declared. Any byte, NUL included, is an ordinary
// character of a line.
//
// The rules:
// - outside blocks, empty lines and lines beginning with "#" or "/" are skipped; every
//   other line is a header: it ends with "{" and holds text before it;
// - inside a block, empty lines are skipped; a line ending with "}" closes the block (a
//   comment line "# ... }" too); a line beginning with "#" is a comment; the text of a
//   closing line before its "}" is a body line of its own unless it is a comment;
// - a block without its "}" ends at the end of the text.
#pragma once

#include <cstddef>
#include <string_view>

// Line ending of a feed file, decided from its first line.
enum feed_line_end { LINE_END_BAD = 0, LINE_END_LF = 1, LINE_END_CRLF = 2 };

// LINE_END_LF when the first line ends with LF alone, LINE_END_CRLF with CR LF; otherwise
// (no LF at all, or a CR that is not followed by LF in the first line) LINE_END_BAD.
int get_line_end(std::string_view text);

// Removes the blanks at both ends.
std::string_view trim_blanks(std::string_view text);

struct feed_reader {
    std::string_view text;
    size_t pos = 0; // offset of the next line
    int line = 0;   // number of the last line read (the first line is 1)
};

// A line as read: trimmed text, the offset of its first byte and its number.
struct feed_line {
    std::string_view text;
    size_t offset = 0;
    int number = 0;
};

// The next line; false at the end of the text.
bool read_line(feed_reader &reader, feed_line &line);

// The next header outside blocks: `header.text` is the header without its "{" (trimmed),
// `header.offset` the offset of the header line. 0 when found, 1 at the end of the text,
// -1 for a syntax error (a line that is not a header; `reader.line` is its number).
int read_header_line(feed_reader &reader, feed_line &header);

// A line of a block body.
struct body_line {
    std::string_view text; // trimmed, without the closing "}"; empty for a bare "}"
    bool closes = false;   // this line ends the block
    bool comment = false;  // a comment: nothing to parse
    int number = 0;
};

// The next non-empty line of a block body; false at the end of the text.
bool read_body_line(feed_reader &reader, body_line &line);

// Reads up to and including the line that closes the current block: 0 when it was found,
// -1 at the end of the text.
int skip_rec_zone(feed_reader &reader);

// One block as every pass sees it.
struct feed_block {
    std::string_view header; // header text without "{"
    size_t start = 0;        // offset of the header line
    size_t end = 0;          // offset just behind the closing line (or the end of the text)
    int header_line = 0;     // number of the header line
    bool closed = false;     // false: ran to the end of the text
};

// The next block: 0 with `block` filled, 1 at the end of the text, -1 for a syntax error
// outside blocks (`reader.line` is its number).
int next_block(feed_reader &reader, feed_block &block);
