// Zone-file text for every record type and zone kind, the handling of hostile text from the
// database, SOA mailboxes, file names, letter directories, installation and removal.
#include "dns_common.h"
#include "temp_dir.h"
#include "zone_file.h"
#include "zone_model.h"
#include "zone_serial.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class global_strings_env : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_EQ(_init_global_str(), 0); }
};
const auto *const env_registration = ::testing::AddGlobalTestEnvironment(new global_strings_env);

zone_rec rec(const std::string &host, const std::string &value) {
    zone_rec r;
    r.host = host;
    r.value = value;
    return r;
}

// A primary zone with its origin name server and the usual timers.
zone_info primary_zone(const std::string &name, const std::string &ns = "ns1.example.net.") {
    zone_info z;
    z.zone_type = 1;
    z.client_email = "hostmaster@example.net";
    z.soa = {3600, 600, 1209600, 300, 86400, 0};
    z.records[SLOT_NS].push_back(rec(name, ns));
    return z;
}

zone_serial job_serial(const std::string &s = "2024061501") {
    zone_serial js;
    js.serial = js.date_serial = s;
    js.timestamp = "1718452800";
    return js;
}

const std::string soa_block_example_com = "$TTL\t86400\n"
                                          "@\tIN SOA\tns1.example.net.\thostmaster.example.net. (\n"
                                          "\t\t\t\t\t2024061501\t; serial\n"
                                          "\t\t\t\t\t3600\t; refresh\n"
                                          "\t\t\t\t\t600\t; retry\n"
                                          "\t\t\t\t\t1209600\t; expire\n"
                                          "\t\t\t\t\t300 )\t; min_ttl\n\n";

std::string text_of(const std::string &name, const zone_info &z, const zone_serial &s,
                    const enum_service_set *enums = nullptr, int expect = 0,
                    std::string *problem = nullptr) {
    std::string out;
    EXPECT_EQ(format_zone_text(name, z, s, enums, out, problem), expect) << name;
    return out;
}

// The record lines that follow the SOA block.
std::string records_of(const std::string &name, const zone_info &z,
                       const enum_service_set *enums = nullptr) {
    std::string out = text_of(name, z, job_serial(), enums);
    const size_t end = out.find(" )\t; min_ttl\n\n");
    return end == std::string::npos ? out : out.substr(end + 14);
}

TEST(zone_text, forward_zone_with_every_type_in_fixed_order) {
    zone_info z = primary_zone("example.com.");
    zone_rec mx = rec("example.com.", "mail.example.com.");
    mx.priority = 10;
    zone_rec srv = rec("_sip._udp", "sip.example.com.");
    srv.priority = 5;
    srv.priority_minor = 20;
    srv.port = 5060;
    srv.ttl = 0;
    z.records[SLOT_NS].push_back(rec("sub", "ns.sub.example.com."));
    z.records[SLOT_A].push_back(rec("www", "192.0.2.10"));
    z.records[SLOT_A].push_back(rec("ns.sub", "192.0.2.53"));
    z.records[SLOT_AAAA].push_back(rec("www", "2001:db8::10"));
    z.records[SLOT_CNAME].push_back(rec("ftp", "www"));
    z.records[SLOT_MX].push_back(mx);
    z.records[SLOT_SRV].push_back(srv);
    z.records[SLOT_TXT].push_back(rec("example.com.", "v=spf1 -all"));

    EXPECT_EQ(text_of("example.com.", z, job_serial()),
              soa_block_example_com + "example.com.\tIN NS\t\tns1.example.net.\n"
                                      "sub\tIN NS\t\tns.sub.example.com.\n"
                                      "ftp\tIN CNAME\t\twww\n"
                                      "example.com.\tIN TXT\t\t\"v=spf1 -all\"\n"
                                      "www\tIN A\t\t192.0.2.10\n"
                                      "ns.sub\tIN A\t\t192.0.2.53\n"
                                      "www\tIN AAAA\t\t2001:db8::10\n"
                                      "example.com.\tIN MX 10\t\tmail.example.com.\n"
                                      "_sip._udp 0\tIN SRV 5 20 5060\tsip.example.com.\n");
}

TEST(zone_text, zone_kinds) {
    zone_rec naptr = rec("4.3.2.1.5.5.5.0.0.8.1.e164.arpa.", "sip:info@example.com");
    naptr.priority = 100;
    naptr.priority_minor = 10;
    naptr.flag = "u";
    naptr.services = "sip";
    naptr.regex = "^.*$";
    const enum_service_set enums = {"sip", "h323"};
    struct {
        const char *name;
        std::vector<std::pair<rec_slot, zone_rec>> records;
        const char *lines;
    } cases[] = {
        {"2.0.192.in-addr.arpa.",
         {{SLOT_PTR, rec("10", "www.example.com.")}},
         "10\tIN PTR\t\twww.example.com.\n"},
        {"0/25.2.0.192.in-addr.arpa.",
         {{SLOT_PTR, rec("5.0/25.2.0.192.in-addr.arpa.", "host5.example.com.")}},
         "5.0/25.2.0.192.in-addr.arpa.\tIN PTR\t\thost5.example.com.\n"},
        {"8.b.d.0.1.0.0.2.ip6.arpa.",
         {{SLOT_PTR, rec("1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0", "v6.example.com.")}},
         "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0\tIN PTR\t\tv6.example.com.\n"},
        {"1.8.e164.arpa.",
         {{SLOT_NAPTR, naptr}},
         "4.3.2.1.5.5.5.0.0.8.1.e164.arpa.\tIN NAPTR 100 10 \"u\" \"E2U+sip\" "
         "\"!^.*$!sip:info@example.com!\" .\n"},
    };
    for (const auto &c : cases) {
        zone_info z = primary_zone(c.name);
        for (const auto &[slot, r] : c.records)
            z.records[slot].push_back(r);
        EXPECT_EQ(records_of(c.name, z, &enums),
                  std::string(c.name) + "\tIN NS\t\tns1.example.net.\n" + c.lines);
    }
}

TEST(zone_text, soa_serial_own_or_generated) {
    zone_info z = primary_zone("example.com.");
    EXPECT_NE(text_of("example.com.", z, job_serial("2024061507")).find("\t2024061507\t; serial\n"),
              std::string::npos);
    z.soa.serial = 77;
    EXPECT_NE(text_of("example.com.", z, job_serial("2024061507")).find("\t\t\t\t\t77\t; serial\n"),
              std::string::npos);
    z.soa = {};
    EXPECT_EQ(text_of("example.com.", z, job_serial()).substr(0, 8), "$TTL\t0\n@");
}

TEST(zone_text, origin_name_server_is_the_ns_at_the_apex) {
    zone_info z = primary_zone("example.com.");
    z.records[SLOT_NS].clear();
    z.records[SLOT_NS].push_back(rec("sub.example.com.", "ns.other.net."));
    z.records[SLOT_NS].push_back(rec("example.com.", "ns2.example.net."));
    EXPECT_NE(text_of("example.com.", z, job_serial()).find("@\tIN SOA\tns2.example.net.\t"),
              std::string::npos);

    z.records[SLOT_NS].pop_back();
    std::string problem;
    text_of("example.com.", z, job_serial(), nullptr, -1, &problem);
    EXPECT_EQ(problem, "no origin name server");
}

TEST(zone_text, txt_character_strings) {
    struct {
        std::string value;
        std::string written;
    } cases[] = {
        {"", "\"\""},
        {std::string(10, 'x'), "\"" + std::string(10, 'x') + "\""},
        {std::string(255, 'x'), "\"" + std::string(255, 'x') + "\""},
        {std::string(256, 'x'), "\"" + std::string(255, 'x') + "\" \"x\""},
        {std::string(510, 'x'),
         "\"" + std::string(255, 'x') + "\" \"" + std::string(255, 'x') + "\""},
        // hostile text stays inside its string
        {"a\"b", "\"a\\\"b\""},
        {"line1\nline2", "\"line1\\010line2\""},
        {"ends in \\", "\"ends in \\\\\""},
        {"x\"\n$INCLUDE /etc/passwd", "\"x\\\"\\010$INCLUDE /etc/passwd\""},
        {"a; (b) $ORIGIN evil.", "\"a; (b) $ORIGIN evil.\""},
        {"tab\there", "\"tab\\009here\""},
        {"caf\xc3\xa9", "\"caf\\195\\169\""},
        // zone-file escapes already in the stored text are kept
        {"v=DKIM1\\; k=rsa", "\"v=DKIM1\\; k=rsa\""},
        {"q\\\"q", "\"q\\\"q\""},
        {"\\065BC", "\"\\065BC\""},
        {"\\999", "\"\\\\999\""},
        // an escape is never cut between two strings
        {std::string(254, 'x') + "\\;y", "\"" + std::string(254, 'x') + "\" \"\\;y\""},
        {std::string(253, 'x') + "\\065y", "\"" + std::string(253, 'x') + "\" \"\\065y\""},
    };
    for (const auto &c : cases) {
        zone_info z = primary_zone("example.com.");
        z.records[SLOT_TXT].push_back(rec("txt", c.value));
        EXPECT_EQ(records_of("example.com.", z),
                  "example.com.\tIN NS\t\tns1.example.net.\ntxt\tIN TXT\t\t" + c.written + "\n")
            << c.value;
    }
}

TEST(zone_text, naptr_fields) {
    const enum_service_set enums = {"sip"};
    auto naptr = [](const char *services, const char *regex, const char *value,
                    const char *regex_flag, const char *replacement, const char *flag) {
        zone_rec r = rec("n", value);
        r.priority = 10;
        r.priority_minor = 100;
        if (services)
            r.services = services;
        if (regex)
            r.regex = regex;
        if (regex_flag)
            r.regex_flag = regex_flag;
        if (replacement)
            r.replacement = replacement;
        if (flag)
            r.flag = flag;
        return r;
    };
    struct {
        zone_rec r;
        const char *line;
    } cases[] = {
        {naptr("sip", "^.*$", "sip:x", nullptr, nullptr, "u"),
         "n\tIN NAPTR 10 100 \"u\" \"E2U+sip\" \"!^.*$!sip:x!\" .\n"},
        {naptr("sip:info", "^.*$", "sip:x", "i", nullptr, "u"),
         "n\tIN NAPTR 10 100 \"u\" \"E2U+sip:info\" \"!^.*$!sip:x!i\" .\n"},
        {naptr("SIP+D2U", nullptr, "x", nullptr, "_sip._udp.example.com.", "s"),
         "n\tIN NAPTR 10 100 \"s\" \"SIP+D2U\" \"\" _sip._udp.example.com.\n"},
        {naptr(nullptr, "", "x", nullptr, nullptr, nullptr),
         "n\tIN NAPTR 10 100 \"\" \"\" \"\" .\n"},
        // backslashes of the expression are doubled, quotes escaped
        {naptr("sip", "^\\+(.*)$", "sip:\\1@x", nullptr, nullptr, "u"),
         "n\tIN NAPTR 10 100 \"u\" \"E2U+sip\" \"!^\\\\+(.*)$!sip:\\\\1@x!\" .\n"},
        {naptr("sip", "^\"x$", "y\"", nullptr, nullptr, "u\""),
         "n\tIN NAPTR 10 100 \"u\\\"\" \"E2U+sip\" \"!^\\\"x$!y\\\"!\" .\n"},
    };
    for (const auto &c : cases) {
        zone_info z = primary_zone("example.com.");
        z.records[SLOT_NAPTR].push_back(c.r);
        EXPECT_EQ(records_of("example.com.", z, &enums),
                  std::string("example.com.\tIN NS\t\tns1.example.net.\n") + c.line);
    }
}

// A name that would break out of its field refuses the whole zone, with the reason.
TEST(zone_text, unsafe_names_refuse_the_zone) {
    struct {
        rec_slot slot;
        zone_rec r;
    } cases[] = {
        {SLOT_A, rec("www\nevil", "192.0.2.1")},
        {SLOT_A, rec("$INCLUDE", "/etc/passwd")},
        {SLOT_A, rec("$ORIGIN", "evil.")},
        {SLOT_A, rec("", "192.0.2.1")},
        {SLOT_A, rec("www", "192.0.2.1 ; x")},
        {SLOT_A, rec("www", "192.0.2.1\n@ IN NS evil.")},
        {SLOT_CNAME, rec("a(", "b")},
        {SLOT_MX, rec("m", "mail\\")},
        {SLOT_NS, rec("sub", "ns\"x")},
        {SLOT_PTR, rec("1", "host\tname.")},
        {SLOT_SRV, rec("_s._tcp", "t )")},
        {SLOT_TXT, rec("t t", "text")},
        {SLOT_NAPTR, rec("n;", "x")},
    };
    for (const auto &c : cases) {
        zone_info z = primary_zone("example.com.");
        z.records[c.slot].push_back(c.r);
        std::string problem;
        text_of("example.com.", z, job_serial(), nullptr, -1, &problem);
        EXPECT_FALSE(problem.empty()) << c.r.host << " " << c.r.value;
    }
    zone_info z = primary_zone("example.com.", "ns1.example.net. ; x");
    std::string problem;
    text_of("example.com.", z, job_serial(), nullptr, -1, &problem);
    EXPECT_NE(problem.find("origin name server"), std::string::npos);

    z = primary_zone("example.com.");
    zone_rec n = rec("n", "x");
    n.replacement = "evil. )";
    z.records[SLOT_NAPTR].push_back(n);
    text_of("example.com.", z, job_serial(), nullptr, -1, &problem);
}

TEST(zone_text, soa_mailbox) {
    struct {
        const char *address;
        std::optional<std::string> mailbox;
    } cases[] = {
        {"hostmaster@example.com", "hostmaster.example.com"},
        {"john.doe@example.com", "john\\.doe.example.com"},
        {"a.b.c@mail.example.com", "a\\.b\\.c.mail.example.com"},
        {"admin@example.com.", "admin.example.com"},
        {"a;b(c)@example.com", "a\\;b\\(c\\).example.com"},
        {"a b\"c@example.com", "a\\032b\\\"c.example.com"},
        {"a\nb@example.com", "a\\010b.example.com"},
        {"$x@example.com", "\\$x.example.com"},
        {"a@b@example.com", "a.b\\@example.com"},
        {"back\\slash@example.com", "back\\\\slash.example.com"},
        {"no-at-sign", std::nullopt},
        {"", std::nullopt},
        {"@example.com", std::nullopt},
        {"user@", std::nullopt},
        {"user@.", std::nullopt},
        {nullptr, std::nullopt},
    };
    for (const auto &c : cases)
        EXPECT_EQ(form_soa_mail(c.address), c.mailbox) << (c.address ? c.address : "(null)");
}

TEST(zone_text, edit_zone_file_checks_every_write) {
    zone_info z = primary_zone("example.com.");
    zonefile_env env;
    temp_dir dir("zonefile");
    FILE *f = fopen(dir.file("z").c_str(), "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(edit_zone_file(f, "example.com.", z, 1, job_serial(), env), 0);
    ASSERT_EQ(fclose(f), 0);
    EXPECT_EQ(read_text_file(dir.file("z")),
              soa_block_example_com + "example.com.\tIN NS\t\tns1.example.net.\n");

    FILE *full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(edit_zone_file(full, "example.com.", z, 1, job_serial(), env), -1);
    fclose(full);
}

TEST(zone_files, file_names) {
    struct {
        const char *zone;
        const char *file; // nullptr: refused
    } cases[] = {
        {"example.com.", "example.com"},
        {"example.com", "example.com"},
        {"0/25.2.0.192.in-addr.arpa.", "0_25.2.0.192.in-addr.arpa"},
        {"a/b/c.", "a_b_c"},
        {"../../etc/passwd", ".._.._etc_passwd"},
        {".", nullptr},
        {"..", nullptr},
        {"...", nullptr},
        {"", nullptr},
        {"bad name.", nullptr},
        {"bad\nname.", nullptr},
        {"bad\"name.", nullptr},
        {"bad\\name.", nullptr},
    };
    for (const auto &c : cases) {
        std::string out;
        const int rc = zone_file_name(c.zone, out);
        if (c.file) {
            EXPECT_EQ(rc, 0) << c.zone;
            EXPECT_EQ(out, c.file);
        } else {
            EXPECT_EQ(rc, -1) << c.zone;
        }
    }
    std::string s = "0/25/x";
    replace_slashes(s);
    EXPECT_EQ(s, "0_25_x");
}

TEST(zone_files, type_codes) {
    EXPECT_EQ(get_zone_type_code("master"), 1);
    EXPECT_EQ(get_zone_type_code("slave"), 2);
    EXPECT_EQ(get_zone_type_code("Master"), 0);
    EXPECT_EQ(get_zone_type_code("forward"), 0);
    EXPECT_EQ(get_zone_type_code(nullptr), -1);
}

struct named_tree {
    temp_dir dir{"zonefile-named"};
    zonefile_env env;
    named_tree() {
        env.named_root = dir.path();
        env.master_dir = "var/named";
        env.secondary_dir = "var/named/slaves";
        dir.make_subdir("var/named/slaves");
    }
    std::string primary(const std::string &rel) const { return dir.file("var/named/" + rel); }
    std::string secondary(const std::string &rel) const {
        return dir.file("var/named/slaves/" + rel);
    }
};

TEST(zone_files, letter_directories) {
    named_tree t;
    struct {
        const char *file;
        int type;
        std::optional<std::string> letter;
    } cases[] = {
        {"example.com", 1, "e"},
        {"Example.com", 1, "e"},
        {"0_25.2.0.192.in-addr.arpa", 1, "0"},
        {"slave.org", 2, "s"},
        {"_sip.example.com", 1, std::nullopt},
        {"-x.com", 1, std::nullopt},
        {"\xc3\xa9.com", 1, std::nullopt},
        {"", 1, std::nullopt},
        {"example.com", 3, std::nullopt},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(zone_letter_dir(t.env, c.file, c.type, 0), c.letter) << c.file;
        if (c.letter) {
            const std::string dir = c.type == 1 ? t.primary(*c.letter) : t.secondary(*c.letter);
            EXPECT_TRUE(io_valid_dir(dir.c_str())) << dir;
            EXPECT_EQ(zone_letter_dir(t.env, c.file, c.type, 1), dir);
        }
    }
}

TEST(zone_files, letter_directory_owner_and_mode) {
    if (geteuid() != 0)
        GTEST_SKIP() << "creating letter directories needs root";
    struct {
        uid_t uid;
        gid_t gid;
        mode_t mode;
        const char *file;
    } cases[] = {
        {(uid_t)-1, (gid_t)-1, 0750, "a.com"}, // 0777 under the 027 umask
        {(uid_t)-1, 4242, 0750, "b.com"},      // 0770 under the 027 umask
        {4343, 4242, 0750, "c.com"},
    };
    for (const auto &c : cases) {
        named_tree t;
        t.env.named_uid = c.uid;
        t.env.named_gid = c.gid;
        ASSERT_TRUE(zone_letter_dir(t.env, c.file, 1, 1)) << c.file;
        struct stat st;
        ASSERT_EQ(stat(t.primary(std::string(1, c.file[0])).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.mode) << c.file;
        if (c.uid != (uid_t)-1) {
            EXPECT_EQ(st.st_uid, c.uid);
        }
        if (c.gid != (gid_t)-1) {
            EXPECT_EQ(st.st_gid, c.gid);
        }
    }
}

TEST(zone_files, copy_installs_whole_files) {
    named_tree t;
    temp_dir work("zonefile-work");
    write_text_file(work.file("example.com"), "first\n");
    ASSERT_EQ(copy_zone_file(t.env, work.file("example.com"), "example.com", 7), 0);
    EXPECT_EQ(read_text_file(t.primary("e/example.com")), "first\n");
    EXPECT_TRUE(path_exists(work.file("example.com"))); // the source stays

    write_text_file(work.file("example.com"), "second\n");
    ASSERT_EQ(copy_zone_file(t.env, work.file("example.com"), "example.com", 7), 0);
    EXPECT_EQ(read_text_file(t.primary("e/example.com")), "second\n");

    // the name server, another user, can read what is installed
    chmod(work.file("example.com").c_str(), 0600);
    ASSERT_EQ(copy_zone_file(t.env, work.file("example.com"), "example.com", 7), 0);
    struct stat st;
    ASSERT_EQ(stat(t.primary("e/example.com").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0444, 0444u);

    // a failed copy leaves the installed file as it was
    EXPECT_EQ(copy_zone_file(t.env, work.file("missing"), "example.com", 7), -1);
    EXPECT_EQ(read_text_file(t.primary("e/example.com")), "second\n");
    EXPECT_EQ(copy_zone_file(t.env, work.file("example.com"), "_bad", 7), -1);
    EXPECT_EQ(copy_zone_file(t.env, work.file("example.com"), "e/../../x", 7), -1);

    int entries = 0;
    for (const auto &e : std::filesystem::directory_iterator(t.primary("e")))
        entries += e.is_regular_file();
    EXPECT_EQ(entries, 1);
}

TEST(zone_files, remove_by_which_bits) {
    named_tree t;
    auto install = [&](const std::string &file) {
        t.dir.make_subdir("var/named/" + std::string(1, file[0]));
        t.dir.make_subdir("var/named/slaves/" + std::string(1, file[0]));
        write_text_file(t.primary(std::string(1, file[0]) + "/" + file), "p");
        write_text_file(t.secondary(std::string(1, file[0]) + "/" + file), "s");
    };
    struct {
        const char *zone;
        const char *file;
        int which;
        bool primary_left, secondary_left;
    } cases[] = {
        {"example.com.", "example.com", 1, false, true},
        {"example.com.", "example.com", 2, true, false},
        {"example.com.", "example.com", 3, false, false},
        {"Example.com.", "Example.com", 3, false, false},
        {"0/25.2.0.192.in-addr.arpa.", "0_25.2.0.192.in-addr.arpa", 3, false, false},
    };
    for (const auto &c : cases) {
        install(c.file);
        EXPECT_EQ(remove_zone_file(t.env, c.zone, c.which, 0), 0) << c.zone;
        const std::string letter(1, static_cast<char>(tolower(c.file[0])));
        EXPECT_EQ(path_exists(t.primary(letter + "/" + c.file)), c.primary_left) << c.zone;
        EXPECT_EQ(path_exists(t.secondary(letter + "/" + c.file)), c.secondary_left) << c.zone;
        remove_zone_file(t.env, c.zone, 3, 0);
    }
    // nothing to remove is no error; names that give no file name are refused
    EXPECT_EQ(remove_zone_file(t.env, "never.example.", 3, 0), 0);
    EXPECT_EQ(remove_zone_file(t.env, "_x.example.", 3, 0), 0);
    EXPECT_EQ(remove_zone_file(t.env, ".", 3, 0), -1);
    EXPECT_EQ(remove_zone_file(t.env, "..", 1, 0), -1);
    EXPECT_EQ(remove_zone_file(t.env, "", 2, 0), -1);
    // a directory in the file's place is not removed
    t.dir.make_subdir("var/named/d/dir.example");
    EXPECT_EQ(remove_zone_file(t.env, "dir.example.", 1, 0), 0);
    EXPECT_TRUE(io_valid_dir(t.primary("d/dir.example").c_str()));
}

} // namespace
