// The feed reader: line ends, offsets and the one rule for block ends.
#include "feed_parse_lines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<feed_block> blocks_of(std::string_view text, int *syntax_line = nullptr) {
    feed_reader reader{text};
    std::vector<feed_block> out;
    feed_block block;
    int rc;
    while ((rc = next_block(reader, block)) == 0)
        out.push_back(block);
    if (syntax_line)
        *syntax_line = rc < 0 ? reader.line : 0;
    return out;
}

TEST(zonefeedd_lines, line_end_is_decided_by_the_first_line) {
    EXPECT_EQ(LINE_END_LF, get_line_end("a {\n}\r\n"));
    EXPECT_EQ(LINE_END_CRLF, get_line_end("a {\r\n}\n"));
    EXPECT_EQ(LINE_END_BAD, get_line_end("a {\r}\r")); // CR only
    EXPECT_EQ(LINE_END_BAD, get_line_end("a {"));      // no line feed at all
    EXPECT_EQ(LINE_END_BAD, get_line_end("a\r{\n"));   // CR inside the first line
    EXPECT_EQ(LINE_END_BAD, get_line_end(""));
}

TEST(zonefeedd_lines, offsets_are_byte_offsets_whatever_the_endings) {
    // Mixed CR LF and LF, a NUL byte and a long line: each block starts where its header
    // line starts and ends just behind its closing line.
    std::string text = "# feed\r\nexample.test {\r\nA||www||192.0.2.1\n";
    text += "TXT||t||" + std::string(100000, 'x') + "\r\n";
    text += std::string("A||nul\0host||192.0.2.2\n", 23);
    text += "}\r\nb.test {\n}\n";
    auto blocks = blocks_of(text);
    ASSERT_EQ(2u, blocks.size());
    EXPECT_EQ(8u, blocks[0].start);
    EXPECT_EQ("example.test", blocks[0].header);
    EXPECT_EQ(2, blocks[0].header_line);
    EXPECT_EQ(text.find("b.test"), blocks[0].end);
    EXPECT_EQ(blocks[0].end, blocks[1].start);
    EXPECT_EQ(text.size(), blocks[1].end);
    EXPECT_TRUE(blocks[1].closed);
    EXPECT_EQ(7, blocks[1].header_line);
}

TEST(zonefeedd_lines, a_brace_at_the_line_end_closes_a_block_comments_included) {
    std::string text = "a.test {\n"
                       "A||h||192.0.2.1 }\n" // a record, then the close
                       "b.test {\n"
                       "# the end of b }\n" // a comment closes too, in every pass
                       "c.test {\n"
                       "A||x||192.0.2.3\n"; // no close: ends with the text
    auto blocks = blocks_of(text);
    ASSERT_EQ(3u, blocks.size());
    EXPECT_EQ("b.test", blocks[1].header);
    EXPECT_EQ("c.test", blocks[2].header);
    EXPECT_FALSE(blocks[2].closed);

    feed_reader reader{text};
    feed_line header;
    ASSERT_EQ(0, read_header_line(reader, header));
    body_line line;
    ASSERT_TRUE(read_body_line(reader, line));
    EXPECT_EQ("A||h||192.0.2.1", line.text);
    EXPECT_TRUE(line.closes);
    EXPECT_FALSE(line.comment);
    ASSERT_EQ(0, read_header_line(reader, header));
    ASSERT_TRUE(read_body_line(reader, line));
    EXPECT_TRUE(line.closes && line.comment);
}

TEST(zonefeedd_lines, headers_outside_blocks) {
    int syntax = 0;
    EXPECT_EQ(1u, blocks_of("\n# c\n/ c\n  z.test | master {\n}\n", &syntax).size());
    EXPECT_EQ(0, syntax);
    blocks_of("a.test {\n}\nA||x||192.0.2.1\n", &syntax);
    EXPECT_EQ(3, syntax);
    blocks_of("  {\n", &syntax); // nothing before the brace
    EXPECT_EQ(1, syntax);
}

} // namespace
