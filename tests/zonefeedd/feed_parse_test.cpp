// The zone text parser: headers, directives, every record type in every zone kind, and the
// failure messages a client sees.
#include "dns_common.h"
#include "feed_parse.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct parsed {
    int rc = 0;
    zone_header header;
    record_table records;
    option_table options;
    std::vector<feed_event> events;

    bool has(const std::string &type, const std::string &host, const std::string &value) const {
        for (const auto &[key, rr] : records)
            if (get_rr_type_str(rr.type) == type && rr.host == host && rr.value == value)
                return true;
        return false;
    }
    // Messages of the events with `code`, in order.
    std::vector<std::string> messages(const std::string &code = "EPU04") const {
        std::vector<std::string> out;
        for (const feed_event &e : events)
            if (e.code == code)
                out.push_back(e.message);
        return out;
    }
};

struct zonefeedd_parse : ::testing::Test {
    static void SetUpTestSuite() { _init_global_str(); }
    feed_record feed;
    feed_reporter report;
    srv_name_set services{"sip", "xmpp-server"}, protocols{"tcp", "udp"};
    int max_records = 1000;
    std::vector<feed_event> events; // every event since the last parse() began

    zonefeedd_parse() {
        feed.id = 7;
        feed.client_id = 3;
        feed.url = "https://feeds.example/zones.txt";
        report.max_level = 7;
    }

    // Parses one block: `header` without "{", `body` the lines up to and with "}".
    parsed parse(const std::string &header, const std::string &body, bool is_new = false) {
        parsed p;
        events.clear();
        report.observer = [this](const feed_event &e) { events.push_back(e); };
        EXPECT_EQ(HEADER_OK, resolve_header(header, p.header, 1, nullptr, feed.id)) << header;
        p.header.is_new = is_new;
        std::string text = body;
        feed_reader reader{text};
        parse_env env{feed, report, &services, &protocols, max_records};
        p.rc = parse_import_entries(reader, p.header, env, p.records, p.options);
        p.events = events;
        return p;
    }
    // One record line in a zone, with an origin NS so that nothing else is reported.
    parsed line(const std::string &zone, const std::string &record) {
        return parse(zone, "NS||@||ns1.example.net.\n" + record + "\n}\n");
    }
};

TEST_F(zonefeedd_parse, headers) {
    zone_header h;
    EXPECT_EQ(HEADER_OK, resolve_header(" Example.TEST | Master ", h, 1, nullptr, 1));
    EXPECT_EQ("example.test.", h.name);
    EXPECT_EQ(1, h.type);
    EXPECT_EQ(KIND_FORWARD, h.kind);
    EXPECT_EQ(HEADER_OK, resolve_header("example.test|slave", h, 1, nullptr, 1));
    EXPECT_EQ(2, h.type);
    EXPECT_EQ(HEADER_OK, resolve_header("0/26.1.168.192.in-addr.arpa", h, 1, nullptr, 1));
    EXPECT_EQ("0/26.1.168.192.IN-ADDR.ARPA.", h.name);
    EXPECT_EQ(KIND_REVERSE4, h.kind);
    EXPECT_EQ('/', h.separator);
    EXPECT_EQ(26, h.net4.prefix);
    EXPECT_EQ(HEADER_OK, resolve_header("8.B.D.0.1.0.0.2.Ip6.Arpa", h, 1, nullptr, 1));
    EXPECT_EQ("8.b.d.0.1.0.0.2.IP6.ARPA.", h.name);
    EXPECT_EQ(HEADER_OK, resolve_header("4.3.2.1.e164.arpa", h, 1, nullptr, 1));
    EXPECT_EQ(KIND_ENUM, h.kind);

    EXPECT_EQ(HEADER_DUPLICATE, resolve_header("|xample.test", h, 1, nullptr, 1));
    for (const char *bad :
         {"", "example.test|hint", "example.test|master|x", "exa mple.test", "ex\"ample.test",
          "ex$ample.test", "example..test", "x", "300.168.192.in-addr.arpa", "a.b.e164.arpa"})
        EXPECT_EQ(HEADER_BAD, resolve_header(bad, h, 1, nullptr, 1)) << bad;
}

TEST_F(zonefeedd_parse, fields_hosts_and_origin) {
    parsed p = parse("example.test",
                     "NS||@||ns1.example.net.|x|1\n"
                     "A||www||192.0.2.1|x|y\n" // seven fields
                     "A||||192.0.2.2\n"        // empty host: the previous one
                     "A||@||192.0.2.3\n"       // @: the zone itself
                     "$ORIGIN||sub||\n"        // refused: not a name inside the zone
                     "$ORIGIN||Sub.Example.Test||\n"
                     "A||host||192.0.2.4\n"
                     "A|x|www|y\n"          // four fields: syntax error
                     "A||www||192.0.2.9|\n" // even count: syntax error
                     "# a comment\n"
                     "MX||@||mail||10 }\n");
    EXPECT_EQ(0, p.rc);
    EXPECT_TRUE(p.has("A", "www.example.test.", "192.0.2.1"));
    EXPECT_TRUE(p.has("A", "www.example.test.", "192.0.2.2"));
    EXPECT_TRUE(p.has("A", "example.test.", "192.0.2.3"));
    EXPECT_TRUE(p.has("A", "host.sub.example.test.", "192.0.2.4"));
    EXPECT_TRUE(p.has("MX", "sub.example.test.", "mail.sub.example.test."));
    EXPECT_TRUE(p.has("NS", "example.test.", "ns1.example.net."));
    EXPECT_TRUE(p.header.has_origin_ns);
    for (const auto &[key, rr] : p.records)
        EXPECT_NE("192.0.2.9", rr.value) << key;
    EXPECT_EQ(6u, p.records.size());
    EXPECT_EQ((std::vector<std::string>{"Syntax error", "Syntax error", "Syntax error"}),
              p.messages("EPU03"));
}

TEST_F(zonefeedd_parse, soa_directives_and_options) {
    parsed p = parse("example.test",
                     "NS||@||ns1.example.net\n"
                     "SERIAL||2024061503||\nREFRESH||3600||\nRETRY||600||\nEXPIRE||86400||\n"
                     "MIN_TTL||300||\nDEFAULT_TTL||3600||\n"
                     "EXPIRE||2147483648||\n" // above 2^31-1: refused
                     "ALLOW_TRANSFER||2001:DB8:0::1||\nALLOW_TRANSFER||192.0.2.0/24||\n"
                     "ALLOW_TRANSFER||192.0.2.1/24||\n" // host bits: ignored
                     "MASTER||192.0.2.53||\n}\n");
    EXPECT_EQ(2024061503, p.header.serial);
    EXPECT_EQ(3600, p.header.refresh);
    EXPECT_EQ(86400, p.header.expire);
    EXPECT_EQ(3600, p.header.default_ttl);
    EXPECT_EQ((option_table{"A2001:db8::1", "A192.0.2.0/24"}), p.options);
    EXPECT_EQ((std::vector<std::string>{"Zone does not accept the directive. Master zones "
                                        "cannot specify 'masters' directives"}),
              p.messages());
    EXPECT_EQ(1u, p.messages("EPU03").size());
    for (const char *serial :
         {"SERIAL||0||", "SERIAL||4294967296||", "SERIAL||-1||", "SERIAL||1e3||"})
        EXPECT_EQ(0, line("example.test", serial).header.serial) << serial;
    EXPECT_EQ(4294967295, line("example.test", "SERIAL||4294967295||").header.serial);
}

TEST_F(zonefeedd_parse, secondary_zones_keep_only_masters_and_transfers) {
    parsed p = parse("example.test|slave", "MASTER||192.0.2.53||\nMASTER||2001:db8::53||\n"
                                           "MASTER||192.0.02.1||\nA||www||192.0.2.1\n"
                                           "SERIAL||5||\n}\n");
    EXPECT_EQ(0, p.rc);
    EXPECT_TRUE(p.records.empty());
    EXPECT_EQ((option_table{"M192.0.2.53", "M2001:db8::53"}), p.options);
    EXPECT_EQ((std::vector<std::string>{"Slave zones cannot specify any RRs",
                                        "Slave zones cannot specify any RRs"}),
              p.messages("EPU03"));
    EXPECT_EQ(0, p.header.serial);
}

struct record_case {
    const char *zone;
    const char *line;
    const char *message; // nullptr: taken; "": ignored silently
};

TEST_F(zonefeedd_parse, record_checks_by_zone_kind) {
    const char *fwd = "example.test", *rev = "1.168.192.in-addr.arpa",
               *rev26 = "64/26.1.168.192.in-addr.arpa", *rev6 = "8.b.d.0.1.0.0.2.ip6.arpa",
               *e164 = "4.3.2.1.e164.arpa";
    const record_case cases[] = {
        // forward A / AAAA
        {fwd, "A||www||192.0.2.1", nullptr},
        {fwd, "a||*.wild||192.0.2.1", nullptr},
        {fwd, "A||under_score||192.0.2.1", "Invalid A host"},
        {fwd, "A||www||192.0.02.1", "Invalid A value"},
        {fwd, "A||www||010.0.2.1", "Invalid A value"},
        {fwd, "A||www||192.0.2.256", "Invalid A value"},
        {fwd, "A||www.evilexample.test.||192.0.2.1", "Invalid A host"},
        {fwd, "A||w$w||192.0.2.1", "Invalid A host"},
        {fwd, "A||www\"||192.0.2.1", "Invalid A host"},
        {fwd, "A||aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa||192.0.2.1",
         "Invalid A host"},
        {fwd, "AAAA||v6||2001:DB8:0:0::1", nullptr},
        {fwd, "AAAA||v6||2001:db8::/64", "Invalid AAAA value"},
        {fwd, "AAAA||v6||192.0.2.1x", "Invalid AAAA value"},
        // CNAME
        {fwd, "CNAME||alias||www", nullptr},
        {fwd, "CNAME||www.evilexample.test.||www", "Invalid CNAME host"},
        {fwd, "CNAME||alias||bad;name", "Invalid CNAME value"},
        // MX
        {fwd, "MX||@||mail.example.net.||10", nullptr},
        {fwd, "MX||@||mail.example.net.||65536", "Invalid MX record"},
        {fwd, "MX||@||mail.example.net.", "Invalid MX record"},
        {fwd, "MX||@||mail_x.example.net.||10", "Invalid MX value"},
        // SRV
        {fwd, "SRV||_sip._tcp||sip.example.net.||10||5||5060", nullptr},
        {fwd, "SRV||_sip._tcp||.||0||0||0||300", nullptr},
        {fwd, "SRV||_ftp._tcp||sip.example.net.||10||5||5060", "Invalid SRV host"},
        {fwd, "SRV||_sip._tcp||bad host||10||5||5060", "Invalid SRV target"},
        {fwd, "SRV||_sip._tcp||sip.example.net.||70000||5||5060", "Invalid SRV priority"},
        {fwd, "SRV||_sip._tcp||sip.example.net.||1||x||5060", "Invalid SRV weight"},
        {fwd, "SRV||_sip._tcp||sip.example.net.||1||1||65536", "Invalid SRV port"},
        // NS
        {fwd, "NS||sub||ns1.example.net.", nullptr},
        {fwd, "NS||sub||ns1.example.net.||1",
         "Invalid Primary NS. Only an origin NS may be primary"},
        {fwd, "NS||other.test.||ns1.example.net.", "Invalid NS host"},
        {fwd, "NS||sub||ns_1.example.net.", "Invalid NS value"},
        // TXT
        {fwd, "TXT||_dmarc||v=DMARC1; p=none", nullptr},
        {fwd, "TXT||t||say \"hi\"", "Invalid TXT value"},
        {fwd, "TXT||t;x||text", "Invalid TXT host"},
        {fwd, "TXT||www.evilexample.test.||text", "Invalid TXT host"},
        // NAPTR
        {fwd, "NAPTR||@||!^.*$!sip:info@example.test!||100||10||||||E2U+sip||U||.", nullptr},
        {fwd, "NAPTR||@||!^.*$!sip:a|b@example.test!i||100||10||||||E2U+sip||u||", nullptr},
        {fwd, "NAPTR||@||||100||10||||||SIP+D2U||S||_sip._udp.example.test.", nullptr},
        {fwd, "NAPTR||@||!a!b||100||10||||||E2U+sip||U||.", "Invalid NAPTR regexp"},
        {fwd, "NAPTR||@||!^.*$!x!||65536||10||||||E2U+sip||U||.", "Invalid NAPTR order value"},
        {fwd, "NAPTR||@||!^.*$!x!||1||-1||||||E2U+sip||U||.", "Invalid NAPTR prefrence value"},
        {fwd, "NAPTR||@||!^.*$!x!||1||1||||||E2U+sip||X||.", "Invalid NAPTR flag"},
        {fwd, "NAPTR||@||!^.*$!x!||1||1||||||E2U+sip||U\"||.", "Invalid NAPTR flag"},
        {fwd, "NAPTR||@||!^.*$!x!||1||1||||||E2U;sip||U||.", "Invalid NAPTR services"},
        {fwd, "NAPTR||@||!^.*$!x!||1||1||||||E2U+sip||U||a b", "Invalid NAPTR replacement"},
        {fwd, "NAPTR||@||!^.*$!x!||1||1||||||E2U+sip", "Invalid NAPTR flag"},
        // types by zone kind
        {fwd, "PTR||1||host.example.test.", "Invalid RR for a forward zone"},
        {fwd, "HINFO||x||y", "Invalid RR for a forward zone"},
        {rev, "A||1||192.0.2.1", "Invalid RR for a reverse zone"},
        {rev, "NAPTR||1||x", ""},
        {rev, "HINFO||1||y", ""},
        {rev6, "A||1||192.0.2.1", ""},
        {rev6, "CNAME||1||x.example.test.", ""},
        {e164, "A||1||192.0.2.1", "Invalid RR for a E164.ARPA zone"},
        {e164, "PTR||5||x.example.test.", "Invalid RR for a E164.ARPA zone"},
        {e164, "TXT||5||x", "Invalid RR for a E164.ARPA zone"},
        {e164, "CNAME||5||x.example.test.", ""},
        // IPv4 reverse
        {rev, "PTR||5||host.example.test.", nullptr},
        {rev, "PTR||5.1.168.192.in-addr.arpa.||host.example.test.", nullptr},
        {rev, "PTR||5.2.168.192.in-addr.arpa.||host.example.test.", "Invalid PTR host"},
        {rev, "PTR||256||host.example.test.", "Invalid PTR host"},
        {rev, "PTR||5||host example", "Invalid PTR value"},
        {rev, "CNAME||5||5.0/26.1.168.192.in-addr.arpa.", nullptr},
        {rev, "NS||0/26||ns1.example.net.", nullptr},
        {rev, "TXT||5||text", nullptr},
        {rev26, "PTR||65||host.example.test.", nullptr},
        {rev26, "PTR||64/26.1.168.192.in-addr.arpa.||x.example.test.", nullptr},
        {rev26, "PTR||1||host.example.test.", "Invalid PTR host"},
        {rev26, "CNAME||65||x.example.test.",
         "Invalid CNAME record. Reverse zone with mask /25 or greater cannot define CNAME"},
        {rev26, "NS||65||ns1.example.net.",
         "Invalid NS host. Reverse zone with mask /25 or greater can define NS only for ORINGIN"},
        // IPv6 reverse
        {rev6, "PTR||1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0||h.example.test.", nullptr},
        {rev6, "PTR||*.8.b.d.0.1.0.0.2.ip6.arpa.||h.example.test.", nullptr},
        {rev6, "PTR||1.9.b.d.0.1.0.0.2.ip6.arpa.||h.example.test.", "Invalid PTR host"},
        {rev6, "NS||0.0.0.0||ns1.example.net.", nullptr},
        {rev6, "NS||0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0||ns1.example.net.",
         "Invalid NS host"},
        // ENUM
        {e164, "NAPTR||5||!^.*$!sip:5@example.test!||10||10||||||E2U+sip||U||", nullptr},
        {e164, "NAPTR||5||||10||10||||||E2U+sip||U||", "Invalid NAPTR regexp"},
        {e164, "NAPTR||x5||!^.*$!sip:5@example.test!||10||10||||||E2U+sip||U||",
         "Invalid NAPTR host"},
        {e164, "NS||5||ns1.example.net.", nullptr},
    };
    for (const record_case &c : cases) {
        parsed p = line(c.zone, c.line);
        const std::vector<std::string> failures = p.messages();
        SCOPED_TRACE(std::string(c.zone) + ": " + c.line);
        if (!c.message) {
            EXPECT_TRUE(failures.empty()) << failures.front();
            EXPECT_EQ(2u, p.records.size());
        } else {
            EXPECT_EQ(1u, p.records.size());
            if (*c.message)
                EXPECT_EQ(std::vector<std::string>{c.message}, failures);
            else
                EXPECT_TRUE(failures.empty());
        }
    }
}

TEST_F(zonefeedd_parse, record_values_are_stored_canonical) {
    parsed p = line("example.test", "AAAA||v6||2001:DB8:0:0::1");
    EXPECT_TRUE(p.has("AAAA", "v6.example.test.", "2001:db8::1"));
    p = line("example.test", "NAPTR||@||!^.*$!sip:a|b@example.test!i||100||10||||||E2U+sip||u||");
    ASSERT_EQ(2u, p.records.size());
    for (const auto &[key, rr] : p.records) {
        if (rr.type != RR_NAPTR)
            continue;
        EXPECT_EQ("^.*$", rr.regex);
        EXPECT_EQ("sip:a|b@example.test", rr.value);
        EXPECT_EQ("i", rr.regex_flag);
        EXPECT_EQ("E2U+sip", rr.services);
        EXPECT_EQ("u", rr.flag);
        EXPECT_EQ(".", rr.replacement);
        EXPECT_EQ(100u, rr.priority);
        EXPECT_EQ(10u, rr.priority_minor);
    }
    p = line("1.168.192.in-addr.arpa",
             "NS||0-26.1.168.192.in-addr.arpa.||ns1.example.net\nPTR||5.0/26||h.example.test.");
    EXPECT_EQ('-', p.header.separator); // the first record showing one sets it
    EXPECT_TRUE(
        p.has("NS", "0-26.1.168.192.IN-ADDR.ARPA.", "ns1.example.net.1.168.192.IN-ADDR.ARPA."));
}

TEST_F(zonefeedd_parse, cname_conflicts_and_duplicate_hosts) {
    parsed p = parse("example.test", "NS||@||ns1.example.net.\n"
                                     "A||www||192.0.2.1\nCNAME||www||other\n"
                                     "CNAME||alias||other\nA||alias||192.0.2.2\n}\n");
    EXPECT_EQ((std::vector<std::string>{"CNAME and other RR define the same host",
                                        "CNAME and other RR define the same host"}),
              p.messages());
    p = parse("1.168.192.in-addr.arpa", "NS||@||ns1.example.net.\n"
                                        "CNAME||5||5.0/26.1.168.192.in-addr.arpa.\n"
                                        "PTR||5||h.example.test.\n}\n");
    EXPECT_EQ(std::vector<std::string>{"Duplicate RR host"}, p.messages());
}

TEST_F(zonefeedd_parse, delegations_in_a_24_may_not_overlap) {
    parsed p = parse("1.168.192.in-addr.arpa", "NS||@||ns1.example.net.\n"
                                               "NS||0/26||ns1.example.net.\n"
                                               "NS||0/26||ns2.example.net.\n"       // same host
                                               "NS||0/25||ns1.example.net.\n"       // overlaps
                                               "NS||64/26||ns1.example.net.\n"      // beside it
                                               "NS||32/27||ns1.example.net.\n}\n"); // inside
    EXPECT_EQ(
        (std::vector<std::string>{
            "Invalid NS host. The delegation overlaps with a previous one made in this zone",
            "Invalid NS host. The delegation overlaps with a previous one made in this zone"}),
        p.messages());
    EXPECT_EQ(4u, p.records.size());
}

TEST_F(zonefeedd_parse, record_budget_refuses_the_block_whole) {
    max_records = 3;
    std::string body = "NS||@||ns1.example.net.\nA||a||192.0.2.1\nA||b||192.0.2.2\n";
    parsed p = parse("example.test", body + "}\n");
    EXPECT_EQ(0, p.rc);
    EXPECT_EQ(3u, p.records.size());

    // One record too many, on the closing line: the block is dropped and the next one
    // is still read by whoever reads on.
    std::string text = body + "A||c||192.0.2.3 }\nb.test {\nA||x||192.0.2.9\n}\n";
    p = parse("example.test", "");
    feed_reader reader{text};
    parse_env env{feed, report, &services, &protocols, max_records};
    zone_header h = p.header;
    record_table records;
    option_table options;
    events.clear();
    EXPECT_EQ(-1, parse_import_entries(reader, h, env, records, options));
    EXPECT_TRUE(records.empty());
    p.events = events;
    EXPECT_EQ(std::vector<std::string>{"Zone's maximum number of records limit reached"},
              p.messages("EPU06"));
    feed_line header;
    ASSERT_EQ(0, read_header_line(reader, header));
    EXPECT_EQ("b.test", header.text);

    // Over budget in the middle: the rest of the block is skipped.
    text = body + "A||c||192.0.2.3\nA||d||192.0.2.4\n}\nb.test {\n}\n";
    reader = feed_reader{text};
    EXPECT_EQ(-1, parse_import_entries(reader, h, env, records, options));
    ASSERT_EQ(0, read_header_line(reader, header));
    EXPECT_EQ("b.test", header.text);
}

TEST_F(zonefeedd_parse, primary_zone_outcomes) {
    // A new primary zone without any record is dropped (its creator deletes it).
    EXPECT_EQ(-1, parse("example.test", "A||www||bad\n}\n", true).rc);
    EXPECT_EQ(0, parse("example.test", "A||www||192.0.2.1\n}\n", true).rc);
    // A stored primary zone without origin NS is reported.
    parsed p = parse("example.test", "A||www||192.0.2.1\n}\n");
    EXPECT_EQ(std::vector<std::string>{"Master zone has no ORIGIN NS"}, p.messages("EPU03"));
}

TEST_F(zonefeedd_parse, record_failures_are_capped_per_feed_with_one_summary) {
    report.failure_cap = 5;
    std::string body = "NS||@||ns1.example.net.\n";
    for (int i = 0; i < 40; ++i)
        body += "A||www||bad" + std::to_string(i) + "\n";
    parsed p = parse("example.test", body + "}\n");
    EXPECT_EQ(5u, p.messages().size());
    EXPECT_EQ("bad0|2", p.events[0].info);
    EXPECT_EQ("https://feeds.example/zones.txt", feed.url);
    std::vector<feed_event> summary;
    report.observer = [&](const feed_event &e) { summary.push_back(e); };
    EXPECT_EQ(35u, flush_line_failures(report, feed));
    ASSERT_EQ(1u, summary.size());
    EXPECT_EQ(FAILURE_SUMMARY_MESSAGE, summary[0].message);
    EXPECT_EQ("35", summary[0].info);
    EXPECT_EQ(0u, flush_line_failures(report, feed));
}

} // namespace
