// What the zone builder writes for a panel database holding one of every kind of zone
// (tests/fixtures/zonebuildd_expected/seed.sql), compared byte for byte with the files
// recorded under tests/fixtures/zonebuildd_expected/: a restore job, then a changes job for a
// few of the zones. Compared are the zone files, the include file's statements, the zones'
// bookkeeping columns and stored SOA rows, and the event rows about zones (the job-level
// rows, such as those of the reload, are not this test's subject).
//
// Two things are normalised, and only these: the include file's statements are compared as
// a sorted list (the workers' order is not part of the file's meaning), and the local date
// of the run, which only the serial of the zone without any previous serial carries, reads
// "YYYYMMDD"; the temporary directory reads "ROOT" and the job's work directory "WORK".
//
// To record the files again after an intended change of the output:
//   ZONARIS_UPDATE_EXPECTED=1 ctest --test-dir build -R ExpectedFiles
// and review the diff before committing it.
#include "zonebuildd.h"

#include "check_tool.h"
#include "dns_common.h"
#include "logging.h"
#include "mariadb_fixture.h"
#include "zonebuildd_in_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <map>
#include <sstream>

namespace {

namespace fs = std::filesystem;

const std::string expected_root = ZONARIS_SOURCE_DIR "/tests/fixtures/zonebuildd_expected";

std::string local_date(time_t t) {
    struct tm tm {};
    localtime_r(&t, &tm);
    char buf[16];
    strftime(buf, sizeof buf, "%Y%m%d", &tm);
    return buf;
}

void replace_all(std::string &text, const std::string &from, const std::string &to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
}

// Relative path -> content of every file a job stage produced.
using snapshot = std::map<std::string, std::string>;

class ExpectedFiles : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_EQ(0, bind9_init()); }

    void SetUp() override {
        logging_init("zonebuildd", "stdlog", nullptr);
        _init_global_str();
        ASSERT_EQ(0, db.exec(read_text_file(expected_root + "/seed.sql"))) << db.last_error();
        config_pairs keys = db.config();
        for (const auto &kv : stand_in_named_keys(tree))
            keys.push_back(kv);
        write_text_file(tree.file("rndc/rndc"), "#!/bin/sh\nexit 0\n", 0755);
        ASSERT_NO_FATAL_FAILURE(init_in_process(st, etc, keys));
        set_log_level(LOG_CRIT);
        dates.push_back(local_date(time(nullptr)));
    }

    void TearDown() override { clean_invariant(st); }

    int job(bool restore) {
        int rc = do_invariant(st, restore ? 1 : 0);
        if (rc == 0)
            rc = restore ? do_restore(st) : do_changes(st);
        clean_invariant(st);
        dates.push_back(local_date(time(nullptr)));
        return rc;
    }

    std::string normalised(std::string text) const {
        replace_all(text, tree.file(""), "ROOT/");
        replace_all(text, st.settings.work_name, "WORK");
        for (const std::string &d : dates)
            replace_all(text, d, "YYYYMMDD");
        return text;
    }

    std::string table(const std::string &select) const {
        std::string out;
        for (const auto &row : db.rows(select)) {
            for (size_t i = 0; i < row.size(); ++i)
                out += (i ? "|" : "") + row[i].value_or("NULL");
            out += '\n';
        }
        return out;
    }

    // Zone files (those of `only` when given), include statements, database, events.
    snapshot take(const std::vector<std::string> &only = {}) const {
        snapshot s;
        const fs::path zones = tree.file("named/var/named");
        for (const auto &e : fs::recursive_directory_iterator(zones)) {
            if (!e.is_regular_file())
                continue;
            const std::string rel = fs::relative(e.path(), zones).string();
            if (only.empty() ||
                std::find(only.begin(), only.end(), e.path().filename()) != only.end())
                s["zones/" + rel] = normalised(read_text_file(e.path().string()));
        }
        // One statement per block of lines that begins with "zone ".
        std::istringstream include(read_text_file(tree.file("named/etc/zonaris.include")));
        std::vector<std::string> statements;
        for (std::string line; std::getline(include, line);) {
            if (statements.empty() || line.starts_with("zone "))
                statements.emplace_back();
            statements.back() += line + "\n";
        }
        std::sort(statements.begin(), statements.end());
        std::string sorted;
        for (const std::string &statement : statements)
            sorted += statement;
        s["include.txt"] = normalised(sorted);
        s["database.txt"] = normalised(
            table("SELECT id, name, status, serialgeneration, revision, warning, warning_desc "
                  "FROM zone ORDER BY id") +
            table("SELECT zone_id, param, value FROM zone_soa ORDER BY zone_id, param") +
            table("SELECT zone_name, type FROM changes ORDER BY zone_name"));
        s["events.txt"] = normalised(
            table("SELECT level, message, info_code, info, client_id, zone_id, zone_name "
                  "FROM logs WHERE zone_name IS NOT NULL OR message = 'Zone file created' "
                  "ORDER BY zone_name, message, info, level, client_id"));
        return s;
    }

    // Compares `got` with the files under `stage`, or records them there.
    void expect_recorded(const std::string &stage, const snapshot &got) const {
        const fs::path dir = expected_root + "/" + stage;
        const char *update = getenv("ZONARIS_UPDATE_EXPECTED");
        if (update && std::string(update) == "1") {
            fs::remove_all(dir);
            for (const auto &[rel, text] : got) {
                fs::create_directories((dir / rel).parent_path());
                write_text_file((dir / rel).string(), text);
            }
            return;
        }
        snapshot want;
        ASSERT_TRUE(fs::is_directory(dir)) << dir;
        for (const auto &e : fs::recursive_directory_iterator(dir))
            if (e.is_regular_file())
                want[fs::relative(e.path(), dir).string()] = read_text_file(e.path().string());
        for (const auto &[rel, text] : want) {
            const auto it = got.find(rel);
            if (it == got.end()) {
                ADD_FAILURE() << stage << "/" << rel << " was not written";
                continue;
            }
            EXPECT_EQ(text, it->second) << stage << "/" << rel;
        }
        for (const auto &[rel, text] : got)
            EXPECT_TRUE(want.count(rel)) << stage << "/" << rel << " is written but not expected";
    }

    test_database db = make_test_database();
    test_etc_dir etc;
    temp_dir tree{"zb-expected"};
    zonebuildd_state st;
    std::vector<std::string> dates; // local dates seen while the jobs ran
};

TEST_F(ExpectedFiles, RestoreThenChangesWriteTheRecordedFiles) {
    EXPECT_EQ(0, job(true));
    expect_recorded("restore", take());

    // The zones' serial states moved on: the next write of each continues from there.
    ASSERT_EQ(0, db.exec("INSERT INTO changes(zone_name, type, timestamp) VALUES "
                         "('a.example.', 'u', 1), ('b.example.', 'u', 1), "
                         "('c.example.', 'u', 1), ('today.example.', 'u', 1), "
                         "('g3.gen.example.', 'u', 1), ('g4.gen.example.', 'u', 1), "
                         "('g5.gen.example.', 'u', 1), ('off.example.', 'u', 1), "
                         "('gone.example.', 'd', 1)"));
    EXPECT_EQ(0, job(false));
    expect_recorded("changes", take({"a.example", "b.example", "c.example", "today.example",
                                     "g3.gen.example", "g4.gen.example", "g5.gen.example"}));
}

} // namespace
