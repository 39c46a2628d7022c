// cfgwriter against a private database and configuration directory: how the monitoring
// file is rewritten, and that every failure leaves the live file untouched and no
// temporary file behind.
#include "etc_fixture.h"
#include "mariadb_fixture.h"
#include "run_program.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

const std::vector<std::string> etc_files = {"monitoring.conf", "zonaris.conf"};

struct cfgwriter_case : ::testing::Test {
    test_database db = make_test_database();
    test_etc_dir etc;

    // Stores `misc` rows (a nullopt value is a NULL).
    void settings(const std::vector<std::pair<std::string, std::optional<std::string>>> &rows) {
        for (const auto &[param, value] : rows) {
            auto conn = db.connect();
            ASSERT_TRUE(conn);
            ASSERT_EQ(0, fr_sql_query(conn.get(), nullptr,
                                      "INSERT INTO misc(param, value) VALUES('%s', %s)", param,
                                      value ? sql_raw{"'" + fr_sql_escape(conn.get(), *value) + "'"}
                                            : sql_raw{"NULL"}))
                << fr_sql_error(conn.get());
        }
    }
    void all_settings(const char *named, const char *email) {
        settings({{"monitor_named", named},
                  {"monitor_mysql", "1"},
                  {"monitor_httpd", "0"},
                  {"monitor_zonebuild", "1"},
                  {"monitor_zonefeed", "0"},
                  {"alert_email", email},
                  {"poolwatchd", "1"}});
    }
    program_result run(const config_pairs &conf) {
        etc.write_conf(conf);
        run_options o;
        o.env = {etc.env()};
        o.timeout_s = 60;
        return run_program("cfgwriter", {}, o);
    }
    program_result run() { return run(db.config()); }
    std::string monitoring() const { return read_text_file(etc.file("monitoring.conf")); }
};

const char *const all_keys_appended = "NAMED_MONIT 0\n"
                                      "MYSQL_MONIT 1\n"
                                      "ZNRSHTTP_MONIT 0\n"
                                      "ZONEBUILD_MONIT 1\n"
                                      "ZONEFEED_MONIT 0\n"
                                      "ALERT_EMAIL ops@example.net\n"
                                      "POOLWATCH_MONIT 1\n";

} // namespace

TEST_F(cfgwriter_case, AppendsEveryKeyToAFileThatHasNone) {
    all_settings("0", "ops@example.net");
    etc.write_monitoring("# monitoring settings\nOTHER_SETTING yes\n\nLAST_LINE_NO_NEWLINE x");
    program_result r = run();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(monitoring(), std::string("# monitoring settings\nOTHER_SETTING yes\n\n"
                                        "LAST_LINE_NO_NEWLINE x\n") +
                                all_keys_appended);
    EXPECT_EQ(entries(etc.path()), etc_files);
}

TEST_F(cfgwriter_case, RewritesOnlyTheFirstLineOfAKey) {
    all_settings("0", "ops@example.net");
    etc.write_monitoring("NAMED_MONIT 1\nMYSQL_MONIT 0\nNAMED_MONIT 1\n");
    program_result r = run();
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(monitoring(), "NAMED_MONIT 0\nMYSQL_MONIT 1\nNAMED_MONIT 1\n"
                            "ZNRSHTTP_MONIT 0\nZONEBUILD_MONIT 1\nZONEFEED_MONIT 0\n"
                            "ALERT_EMAIL ops@example.net\nPOOLWATCH_MONIT 1\n");
}

TEST_F(cfgwriter_case, MatchesAKeyOnlyAsTheLinesFirstWord) {
    all_settings("0", "ops@example.net");
    etc.write_monitoring("# NAMED_MONIT is the name server switch\n"
                         "NAMED_MONIT_TIMEOUT 60\n"
                         "CHECK_NAMED_MONIT 1\n"
                         "  ALERT_EMAIL=old@example.net\n"
                         "ZONEFEED_MONIT\t1\n");
    program_result r = run();
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(monitoring(), "# NAMED_MONIT is the name server switch\n"
                            "NAMED_MONIT_TIMEOUT 60\n"
                            "CHECK_NAMED_MONIT 1\n"
                            "ALERT_EMAIL ops@example.net\n"
                            "ZONEFEED_MONIT 0\n"
                            "NAMED_MONIT 0\nMYSQL_MONIT 1\nZNRSHTTP_MONIT 0\nZONEBUILD_MONIT 1\n"
                            "POOLWATCH_MONIT 1\n");
}

TEST_F(cfgwriter_case, SwitchesAreOffOnlyForValuesBeginningWithZero) {
    settings({{"monitor_named", "0"},
              {"monitor_mysql", "00"},
              {"monitor_httpd", "0 off"},
              {"monitor_zonebuild", ""},
              {"monitor_zonefeed", std::nullopt},
              {"poolwatchd", "no"}});
    // No alert_email row at all.
    etc.write_monitoring("");
    program_result r = run();
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(monitoring(), "NAMED_MONIT 0\nMYSQL_MONIT 0\nZNRSHTTP_MONIT 0\nZONEBUILD_MONIT 1\n"
                            "ZONEFEED_MONIT 1\nALERT_EMAIL \nPOOLWATCH_MONIT 1\n");
}

TEST_F(cfgwriter_case, KeepsTheFilesPermissions) {
    all_settings("1", "ops@example.net");
    etc.write_monitoring("NAMED_MONIT 0\n");
    ASSERT_EQ(0, chmod(etc.file("monitoring.conf").c_str(), 0640));
    ASSERT_EQ(run().exit_code, 0);
    struct stat st {};
    ASSERT_EQ(0, stat(etc.file("monitoring.conf").c_str(), &st));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(cfgwriter_case, TrimsLineBreaksAroundTheAlertAddress) {
    all_settings("0", " ops@example.net\r\n");
    etc.write_monitoring("ALERT_EMAIL x\n");
    ASSERT_EQ(run().exit_code, 0);
    EXPECT_EQ(monitoring().substr(0, 28), "ALERT_EMAIL ops@example.net\n");
}

TEST_F(cfgwriter_case, RefusesAnAlertAddressThatWouldAddLines) {
    const char *hostile[] = {"ops@example.net\nNAMED_MONIT 0", "a@b\rMYSQL_MONIT 0", "a@b\x1b[2J",
                             "a@b\tc"};
    const std::string before = "NAMED_MONIT 1\nALERT_EMAIL old@example.net\n";
    for (const char *value : hostile) {
        ASSERT_EQ(0, db.exec("DELETE FROM misc"));
        all_settings("1", value);
        etc.write_monitoring(before);
        program_result r = run();
        EXPECT_EQ(r.exit_code, 1) << value;
        EXPECT_NE(r.err.find("alert_email"), std::string::npos) << r.err;
        EXPECT_EQ(monitoring(), before) << value;
        EXPECT_EQ(entries(etc.path()), etc_files);
    }
}

TEST_F(cfgwriter_case, AFailedSettingsQueryWritesNothing) {
    all_settings("0", "ops@example.net");
    const std::string before = "NAMED_MONIT 1\n";
    etc.write_monitoring(before);
    // The log-level read works, the settings reads do not: the table is gone.
    ASSERT_EQ(0, db.exec("CREATE TABLE misc_saved AS SELECT * FROM misc; DROP TABLE misc"));
    program_result r = run();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("Problem encountered quering MySQL"), std::string::npos) << r.err;
    EXPECT_EQ(monitoring(), before);
    EXPECT_EQ(entries(etc.path()), etc_files);
}

TEST_F(cfgwriter_case, DatabaseFailuresLeaveTheFileAloneAndNoTemporaryFile) {
    all_settings("0", "ops@example.net");
    const std::string before = "NAMED_MONIT 1\n";
    // A port where nothing listens: bound, never listening.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a));
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    const std::string dead_port = std::to_string(ntohs(a.sin_port));

    struct {
        const char *what;
        std::string key, value, message;
    } cases[] = {
        {"database down", "DB_PORT", dead_port, "Failed to initialize database connection"},
        {"wrong password", "DB_PASSWD", "not-the-password",
         "Failed to initialize database connection"},
        {"unknown user", "DB_USER", "nobody_here", "Failed to initialize database connection"},
        {"unknown database", "DB_NAME", "no_such_database_zz", "Cannot select mysql database"},
    };
    for (const auto &c : cases) {
        etc.write_monitoring(before);
        config_pairs conf = db.config();
        for (auto &kv : conf)
            if (kv.first == c.key)
                kv.second = c.value;
        program_result r = run(conf);
        EXPECT_EQ(r.exit_code, 1) << c.what;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << ": " << r.err;
        EXPECT_NE(r.err.find("Failed to initialize cfgwriter. Exiting..."), std::string::npos);
        EXPECT_EQ(monitoring(), before) << c.what;
        EXPECT_EQ(entries(etc.path()), etc_files) << c.what;
    }
    close(s);
}

TEST_F(cfgwriter_case, ConfigurationProblemsAreReportedAndNothingIsWritten) {
    const std::string before = "NAMED_MONIT 1\n";
    const std::string conf_path = etc.file("zonaris.conf");
    struct {
        std::string drop;
        std::string message;
    } cases[] = {
        {"DB_HOST", "Database host is not setup in " + conf_path},
        {"DB_USER", "Database user is not setup in " + conf_path},
        {"DB_PASSWD", "Database password is not setup in " + conf_path},
        {"DB_NAME", "Database name is not setup in " + conf_path},
    };
    for (const auto &c : cases) {
        etc.write_monitoring(before);
        config_pairs conf;
        for (const auto &kv : db.config())
            if (kv.first != c.drop)
                conf.push_back(kv);
        program_result r = run(conf);
        EXPECT_EQ(r.exit_code, 1) << c.drop;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(monitoring(), before);
    }
    config_pairs bad_port = db.config();
    bad_port.push_back({"DB_PORT", "not-a-number"});
    program_result r = run(bad_port);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("Failed to parse configuration file " + conf_path), std::string::npos);
    EXPECT_EQ(monitoring(), before);

    ASSERT_EQ(0, unlink(conf_path.c_str()));
    run_options o;
    o.env = {etc.env()};
    r = run_program("cfgwriter", {}, o);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("Failed to parse configuration file " + conf_path), std::string::npos);
    EXPECT_EQ(monitoring(), before);
}

TEST_F(cfgwriter_case, AMissingMonitoringFileStopsTheRun) {
    all_settings("0", "ops@example.net");
    program_result r = run();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("Cannot open file for reading: " + etc.file("monitoring.conf")),
              std::string::npos)
        << r.err;
    EXPECT_EQ(entries(etc.path()), std::vector<std::string>{"zonaris.conf"});
}

TEST(Cfgwriter, OptionsVersionAndErrors) {
    program_result v = run_program("cfgwriter", {"--version"});
    EXPECT_EQ(v.exit_code, 0);
    EXPECT_EQ(v.out, "Kestrin Zonaris: cfgwriter: version: 5.2.6\n");
    program_result s = run_program("cfgwriter", {"-V", "--bogus"}); // only the first counts
    EXPECT_EQ(s.exit_code, 0);
    program_result b = run_program("cfgwriter", {"--bogus"});
    EXPECT_EQ(b.exit_code, 1);
    EXPECT_EQ(b.out, "--bogus: unknown option\n");
    program_result h = run_program("cfgwriter", {"--help"});
    EXPECT_EQ(h.exit_code, 0);
    EXPECT_NE(h.out.find("[-V|-h]"), std::string::npos);
    EXPECT_NE(h.out.find("Displays version help and exits"), std::string::npos);
}

TEST_F(cfgwriter_case, ALinkedMonitoringFileIsUpdatedWhereItLives) {
    all_settings("0", "ops@example.net");
    temp_dir monit;
    write_text_file(monit.file("zonaris.cfg"), "NAMED_MONIT 1\n");
    ASSERT_EQ(0, symlink(monit.file("zonaris.cfg").c_str(), etc.file("monitoring.conf").c_str()));
    program_result r = run();
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_text_file(monit.file("zonaris.cfg")).substr(0, 14), "NAMED_MONIT 0\n");
    struct stat st {};
    ASSERT_EQ(0, lstat(etc.file("monitoring.conf").c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(entries(monit.path()), std::vector<std::string>{"zonaris.cfg"});
}
