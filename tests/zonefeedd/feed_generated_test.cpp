// Generated feed files, random and mutated: no pass crashes, no accepted name holds a
// character that could break out of a zone file, the include file or a statement, and the
// header scan, the block reader and the block parser agree on where every block ends.
#include "dns_common.h"
#include "feed_parse.h"
#include "feed_scan.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

const std::vector<std::string> zones = {"example.test",
                                        "Sub.Example.Test",
                                        "1.168.192.in-addr.arpa",
                                        "0/26.2.0.192.in-addr.arpa",
                                        "8.b.d.0.1.0.0.2.ip6.arpa",
                                        "4.3.2.1.e164.arpa",
                                        "bad name.test",
                                        "x$y.test",
                                        "a\"b.test",
                                        "evil;.test",
                                        "{.test",
                                        "|dup.test"};
const std::vector<std::string> types = {
    "A",       "AAAA",   "CNAME",          "MX",    "NS", "PTR", "TXT", "SRV", "NAPTR", "SERIAL",
    "$ORIGIN", "MASTER", "ALLOW_TRANSFER", "HINFO", "a"};
const std::vector<std::string> pieces = {"",
                                         "@",
                                         "www",
                                         "*.wild",
                                         "mail.example.test.",
                                         "192.0.2.1",
                                         "2001:db8::1",
                                         "10",
                                         "65536",
                                         "_sip._tcp",
                                         "0/26",
                                         "5",
                                         "5.0/26",
                                         "ns1.example.net.",
                                         "!^.*$!sip:a@b.test!i",
                                         "E2U+sip",
                                         "U",
                                         ".",
                                         "v=spf1 -all",
                                         "evil.test.",
                                         "a b",
                                         "x$y",
                                         "q\"uote",
                                         "semi;colon",
                                         "br{ace",
                                         "cl}ose",
                                         "back\\slash",
                                         "tab\there",
                                         std::string("nul\0byte", 8),
                                         "\xc3\xa9t\xc3\xa9",
                                         std::string(70, 'l'),
                                         std::string(300, 'n') + ".test."};

struct generator {
    std::mt19937 rng;
    explicit generator(unsigned seed) : rng(seed) {}
    size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); }
    bool chance(int percent) { return static_cast<int>(pick(100)) < percent; }
    const std::string &of(const std::vector<std::string> &v) { return v[pick(v.size())]; }

    std::string eol() { return chance(20) ? "\r\n" : "\n"; }
    std::string record() {
        static const std::vector<std::string> good = {
            "A||www||192.0.2.1",
            "AAAA||v6||2001:db8::1",
            "MX||@||mail.example.test.||10",
            "NS||@||ns1.example.net.",
            "NS||sub||ns1.example.net.",
            "TXT||t||hello world",
            "CNAME||alias||www",
            "SRV||_sip._tcp||sip.example.test.||1||2||5060",
            "NAPTR||@||!^.*$!sip:a@b.test!||1||2||||||E2U+sip||U||.",
            "PTR||5||host.example.test.",
            "NS||0/26||ns1.example.net.",
            "PTR||1.0.0.0||h.example.test.",
            "NAPTR||5||!^.*$!sip:5@b.test!||1||1||||||E2U+sip||U||",
            "ALLOW_TRANSFER||192.0.2.0/24||",
            "MASTER||192.0.2.53||",
            "$ORIGIN||sub.example.test.||"};
        if (chance(60))
            return of(good);
        std::string line = of(types);
        const size_t fields = 1 + 2 * pick(10);
        for (size_t i = 1; i < fields; ++i)
            line += (i % 2 ? "|" : "") + (i % 2 ? std::string("|") : of(pieces));
        if (chance(10))
            line += "|";
        return line;
    }
    std::string feed() {
        std::string text = chance(50) ? "# generated" + eol() : "";
        const size_t blocks = 1 + pick(6);
        for (size_t b = 0; b < blocks; ++b) {
            text +=
                (chance(10) ? "  " : "") + of(zones) + (chance(20) ? "|slave" : "") + " {" + eol();
            const size_t lines = pick(12);
            for (size_t l = 0; l < lines; ++l) {
                switch (pick(8)) {
                case 0:
                    text += eol();
                    break;
                case 1:
                    text += "# comment" + std::string(chance(30) ? " }" : "") + eol();
                    break;
                default:
                    text += record() + eol();
                }
            }
            if (chance(90))
                text += (chance(30) ? record() + " " : "") + "}" + eol();
        }
        return text;
    }
    void mutate(std::string &text) {
        static const char bytes[] = {'}', '{', '\n', '\r', '|', '#', '\0', ' ', '$', '"', '.'};
        const size_t n = 1 + pick(8);
        for (size_t i = 0; i < n && !text.empty(); ++i) {
            const size_t at = pick(text.size());
            switch (pick(3)) {
            case 0:
                text[at] = bytes[pick(sizeof bytes)];
                break;
            case 1:
                text.insert(at, 1, bytes[pick(sizeof bytes)]);
                break;
            default:
                text.erase(at, 1 + pick(5));
            }
        }
    }
};

// Bytes that never belong in a name of a zone file, the include file or a statement.
bool clean_name(std::string_view name) {
    for (unsigned char c : name)
        if (c <= ' ' || c >= 127 ||
            std::string_view("$\"';{}|\\()@").find(static_cast<char>(c)) != std::string_view::npos)
            return false;
    return !name.empty();
}

bool clean_text(std::string_view text) {
    for (unsigned char c : text)
        if (c < ' ' || c >= 127 || c == '"' || c == '|')
            return false;
    return true;
}

void check_record(const hashed_rr &rr) {
    EXPECT_TRUE(clean_name(rr.host)) << rr.host;
    switch (rr.type) {
    case RR_TXT:
    case RR_NAPTR:
        EXPECT_TRUE(clean_text(rr.value)) << rr.value;
        break;
    case RR_SRV:
    default:
        EXPECT_TRUE(clean_name(rr.value)) << rr.value;
    }
    for (const std::string *t : {&rr.services, &rr.flag, &rr.regex_flag, &rr.regex})
        EXPECT_TRUE(clean_text(*t)) << *t;
    if (rr.type == RR_NAPTR) {
        EXPECT_TRUE(clean_name(rr.replacement)) << rr.replacement;
    }
}

// What the generated files gave, so that the test is known to reach the interesting paths.
struct tally {
    size_t claims = 0, records = 0, syntax_errors = 0;
};

void check_feed(const std::string &text, tally &seen) {
    SCOPED_TRACE(::testing::PrintToString(text));
    // The blocks as the reader (and so the chunk cutter) sees them.
    std::vector<feed_block> blocks;
    feed_reader reader{text};
    feed_block block;
    int rc;
    while ((rc = next_block(reader, block)) == 0)
        blocks.push_back(block);
    const int syntax_line = rc < 0 ? reader.line : 0;

    // The header scan claims exactly the well-formed headers of those blocks.
    feed_record feed;
    feed.id = 1;
    feed.perm.forward_level = feed.perm.reverse_level = feed.perm.enum_level = 0;
    feed_reporter report;
    zone_set zones;
    feed_file file;
    file.text = text;
    scan_env env{report, zones};
    const int scanned = scan_feed_text(feed, file, env);
    size_t expected_claims = 0;
    zone_set expected;
    for (const feed_block &b : blocks) {
        zone_header h;
        if (resolve_header(b.header, h, 1, nullptr, 1) == HEADER_OK &&
            !zone_set_find(expected, h.name))
            zone_set_put(expected, h.name, zone_claim{1, 0}), ++expected_claims;
    }
    if (scanned == 0) {
        seen.claims += zones.claims.size();
        EXPECT_EQ(0, syntax_line);
        EXPECT_EQ(expected_claims, zones.claims.size());
        for (const auto &[name, claim] : zones.claims) {
            EXPECT_TRUE(clean_name(name)) << name;
            EXPECT_TRUE(zone_set_find(expected, name)) << name;
        }
    } else {
        ++seen.syntax_errors;
        // A syntax error: outside blocks where the reader found it, or a bad block that
        // ran to the end of the file.
        EXPECT_GT(scanned, 0);
        if (syntax_line)
            EXPECT_EQ(syntax_line, scanned);
        else
            EXPECT_FALSE(blocks.empty() || blocks.back().closed);
    }

    // The parser stops exactly where the reader put each block's end.
    srv_name_set services{"sip"}, protocols{"tcp", "udp"};
    for (const feed_block &b : blocks) {
        zone_header h;
        if (resolve_header(b.header, h, 1, nullptr, 1) != HEADER_OK)
            continue;
        feed_reader at{text, b.start, b.header_line - 1};
        feed_line header;
        ASSERT_EQ(0, read_header_line(at, header));
        parse_env penv{feed, report, &services, &protocols, 5};
        record_table records;
        option_table options;
        parse_import_entries(at, h, penv, records, options);
        EXPECT_EQ(b.end, at.pos);
        seen.records += records.size();
        for (const auto &[key, rr] : records)
            check_record(rr);
        for (const std::string &o : options)
            EXPECT_TRUE(clean_name(o)) << o;
    }
}

TEST(zonefeedd_generated, random_and_mutated_feeds) {
    _init_global_str();
    generator gen(20261208);
    tally seen;
    for (int i = 0; i < 1500; ++i) {
        std::string text = gen.feed();
        check_feed(text, seen);
        gen.mutate(text);
        check_feed(text, seen);
        if (HasFailure())
            break;
    }
    EXPECT_GT(seen.claims, 1000u);
    EXPECT_GT(seen.records, 1000u);
    EXPECT_GT(seen.syntax_errors, 100u);
    std::printf("claims %zu, records %zu, syntax errors %zu\n", seen.claims, seen.records,
                seen.syntax_errors);
}

} // namespace
