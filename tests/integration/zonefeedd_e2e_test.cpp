// A client's feed on its way to the name server: the private feed server, zonefeedd writing
// the zones into a private MariaDB and queueing them in `changes`, zonebuildd writing zone
// files and the include file for a private named, and dig asking that named.
#include "feed_server.h"
#include "mariadb_fixture.h"
#include "named_fixture.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

const char *const entry_template = "zone \"[zone_name]\" {\n\ttype [zone_type];\n"
                                   "\tfile \"[zone_file_name]\";\n\t[zone_options];\n};";

// Three zones of client 5, one of them a reverse zone; shop carries its own serial.
const char *const first_feed = "# zones of shop and blog\n"
                               "shop.example.test | master {\n"
                               "SERIAL||2024061501||\n"
                               "NS||@||ns1.provider.test.||1\n"
                               "A||www||192.0.2.10\n"
                               "MX||@||mail.provider.test.||10\n"
                               "}\n"
                               "blog.example.test | master {\n"
                               "NS||@||ns1.provider.test.||1\n"
                               "A||www||192.0.2.20\n"
                               "}\n"
                               "20.168.192.in-addr.arpa | master {\n"
                               "NS||@||ns1.provider.test.||1\n"
                               "PTR||10||www.shop.example.test.\n"
                               "}\n";

// shop's address changed, blog gone.
const char *const second_feed = "shop.example.test | master {\n"
                                "NS||@||ns1.provider.test.||1\n"
                                "A||www||192.0.2.11\n"
                                "MX||@||mail.provider.test.||10\n"
                                "}\n"
                                "20.168.192.in-addr.arpa | master {\n"
                                "NS||@||ns1.provider.test.||1\n"
                                "PTR||10||www.shop.example.test.\n"
                                "}\n";

class FeedToNameServer : public testing::Test {
  protected:
    void SetUp() override {
        exec(std::string(
                 "INSERT INTO misc(param, value) VALUES('log_level', '6'), ('refresh', "
                 "'3600'), ('retry', '600'), ('expire', '86400'), ('min_ttl', '300'), "
                 "('default_ttl', '300');"
                 "INSERT INTO client(id, login, name, email, status) VALUES(5, 'ann', "
                 "'Ann', 'hostmaster@example.test', 1);"
                 "INSERT INTO client_prefs(client_id, param, value) VALUES(5, "
                 "'forward_zone_management', '10'), (5, 'inverse_zone_management', '10'), "
                 "(5, 'max_domains', '-1'), (5, 'clean_url_zones', '1');"
                 "INSERT INTO file_template_default(id, name) VALUES(1, 'zonaris.include');"
                 "INSERT INTO file_template(file_template_default_id, content) VALUES(1, '") +
             entry_template + "')");
        server.put("zones.txt", first_feed);
        // Period 0: every scheduled run finds the feed due.
        exec("INSERT INTO zone_feed(id, client_id, url, period) VALUES(3, 5, '" +
             server.url("/files/zones.txt") + "', 0)");
        ASSERT_TRUE(ns.start()) << ns.log();
        config_pairs keys = db.config();
        for (const auto &kv : ns.config())
            keys.push_back(kv);
        const config_pairs ours = {{"TEMP_D", work.file("tmp")},
                                   {"ZONEBUILD_PID_FILE", work.file("zonebuildd.pid")},
                                   {"ZONEBUILD_RUN_INTERVAL", "3600"},
                                   {"ZONEBUILD_CONCURRENCY_LIMIT", "2"},
                                   {"ZONEFEED_PID_FILE", work.file("zonefeedd.pid")},
                                   {"ZONEFEED_USER", "root"},
                                   {"ZONEFEED_GROUP", "root"},
                                   {"ZONEFEED_RUN_INTERVAL", "3600"},
                                   {"ZONEFEED_CONCURRENCY_LIMIT", "2"},
                                   {"DOWNLOAD_D", work.file("downloads")},
                                   {"DOWNLOAD_URL_TIMEOUT", "10"},
                                   {"DOWNLOAD_URL_CONNECT_TIMEOUT", "5"}};
        keys.insert(keys.end(), ours.begin(), ours.end());
        etc.write_conf(keys);
    }

    void TearDown() override {
        for (auto *daemon : {&feeder, &builder})
            if (*daemon && (*daemon)->running()) {
                (*daemon)->signal(SIGTERM);
                (*daemon)->wait_exit(60);
            }
    }

    // The event log, one row a line, for failure messages.
    std::string events() {
        std::string text;
        for (const auto &row :
             db.rows("SELECT facility, level, message, info_code, info, zone_name "
                     "FROM logs ORDER BY id")) {
            for (const auto &col : row)
                text += col.value_or("NULL") + " | ";
            text += "\n";
        }
        return text;
    }

    void exec(const std::string &sql) { ASSERT_EQ(0, db.exec(sql)) << db.last_error() << sql; }

    long long finished(const std::string &job, const std::string &info = "") {
        return db.count("logs", "message = 'Job finished. " + job + "'" +
                                    (info.empty() ? "" : " AND info = '" + info + "'"));
    }

    void start(std::optional<running_program> &daemon, const char *program) {
        daemon.emplace(
            start_program(program_path(program), {"-X"}, run_options().add_env(etc.env())));
    }

    // Waits for the next import job of zonefeedd (started by `sig`, or by its start-up).
    void import(int sig, bool must_succeed = true) {
        const long long before = finished("Import");
        if (sig)
            ASSERT_EQ(0, feeder->signal(sig));
        else
            start(feeder, "zonefeedd");
        ASSERT_TRUE(wait_until([&] { return finished("Import") > before; }, 120))
            << feeder->out() << feeder->err();
        if (must_succeed) {
            EXPECT_EQ(0, finished("Import", "FR_FAIL")) << feeder->out() << feeder->err();
        }
    }

    // `zonebuild --now`, then the end of the changes job it asked for.
    void publish() {
        const long long before = finished("Changes");
        program_result r =
            run_program(program_path("zonebuild"), {"--now"}, run_options().add_env(etc.env()));
        ASSERT_EQ(0, r.exit_code) << r.out << r.err;
        ASSERT_TRUE(wait_until([&] { return finished("Changes") > before; }, 120))
            << builder->err();
        EXPECT_EQ(0, finished("Changes", "FR_FAIL")) << builder->err();
    }

    bool served(const std::string &name, const std::string &type, const std::string &answer) {
        return ns.wait_for_answer(name, type, answer);
    }

    test_database db = make_test_database();
    named_server ns;
    feed_server server{false};
    test_etc_dir etc;
    temp_dir work{"zf-e2e"};
    std::optional<running_program> builder, feeder;
};

TEST_F(FeedToNameServer, FeedZonesAreServedFollowTheFeedAndGoWithIt) {
    start(builder, "zonebuildd");
    ASSERT_TRUE(wait_until([&] { return finished("Changes") >= 1; }, 60)) << builder->err();

    // The start-up import creates the three zones and queues them for the builder.
    import(0);
    ASSERT_EQ(3, db.count("zone", "client_id = 5 AND url_id = 3 AND last_zone_feed_id = 3"))
        << feeder->out() << feeder->err() << events();
    EXPECT_EQ(3, db.count("changes", "type = 'u'"));
    EXPECT_EQ("1", db.value("SELECT count FROM zone_feed WHERE id = 3"));
    publish();
    ASSERT_TRUE(served("www.shop.example.test", "A", "192.0.2.10")) << ns.log();
    EXPECT_TRUE(served("shop.example.test", "MX", "10 mail.provider.test."));
    EXPECT_TRUE(served("www.blog.example.test", "A", "192.0.2.20"));
    EXPECT_TRUE(served("10.20.168.192.in-addr.arpa", "PTR", "www.shop.example.test."));
    EXPECT_EQ(0, db.count("changes"));
    // shop is served with the feed's serial, and the builder knows that named loaded it.
    EXPECT_EQ("2024061501", ns.soa_serial("shop.example.test").value_or("none"));
    EXPECT_EQ(0, db.count("logs", "info_code = 'ES05'")) << events();
    EXPECT_EQ("0", db.value("SELECT warning FROM zone WHERE name = 'shop.example.test.'"));

    // The same file again: recorded, nothing written, nothing queued.
    import(SIGUSR1);
    EXPECT_EQ("2", db.value("SELECT count FROM zone_feed WHERE id = 3"));
    EXPECT_EQ(0, db.count("changes"));

    // A changed file: shop's answer changes, blog is purged and leaves the name server.
    const auto shop_serial = ns.soa_serial("shop.example.test");
    const auto reverse_serial = ns.soa_serial("20.168.192.in-addr.arpa");
    server.put("zones.txt", second_feed);
    import(SIGUSR1);
    EXPECT_EQ(0, db.count("zone", "name = 'blog.example.test.'"));
    EXPECT_EQ(1, db.count("changes", "zone_name = 'shop.example.test.' AND type = 'u'"));
    EXPECT_EQ(1, db.count("changes", "zone_name = 'blog.example.test.' AND type = 'd'"));
    EXPECT_EQ(2, db.count("changes"));
    publish();
    ASSERT_TRUE(served("www.shop.example.test", "A", "192.0.2.11"));
    EXPECT_TRUE(wait_until([&] { return !ns.soa_serial("blog.example.test"); }, 30));
    EXPECT_EQ(std::string::npos, read_text_file(ns.include_file).find("blog.example.test"));
    EXPECT_NE(shop_serial, ns.soa_serial("shop.example.test"));
    // The unchanged reverse zone was not rebuilt.
    EXPECT_EQ(reverse_serial, ns.soa_serial("20.168.192.in-addr.arpa"));

    // A file without zones (an empty body, a placeholder with only a comment) removes
    // nothing: every zone stays served.
    for (const char *body : {"", "# export in progress, come back later\n"}) {
        server.put("zones.txt", body);
        import(SIGUSR1, false);
        EXPECT_EQ(2, db.count("zone", "client_id = 5")) << body;
        EXPECT_EQ(0, db.count("changes")) << body;
    }
    EXPECT_TRUE(served("www.shop.example.test", "A", "192.0.2.11"));
}

} // namespace
