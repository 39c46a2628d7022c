// zonebuild and zonefeed against a private database and a stand-in daemon: a process that
// holds the lock of the pid files of a temporary configuration, as a daemon does, and
// records every signal it receives.
#include "etc_fixture.h"
#include "mariadb_fixture.h"
#include "run_program.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <netinet/in.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// A process that stays alive, holds a record lock on each of `pid_files` (its pid written
// in them, as a daemon's pid file) and appends the name of every signal it gets to a file.
struct signal_recorder {
    temp_dir dir{"zonaris-recorder"};
    std::string record = dir.file("signals");
    running_program process;

    explicit signal_recorder(const std::vector<std::string> &pid_files) {
        const std::string script = dir.file("recorder.py");
        write_text_file(
            script,
            "#!/usr/bin/python3\n"
            "import fcntl, os, signal, sys\n"
            "record, ready = sys.argv[1], sys.argv[2]\n"
            "held = []\n"
            "for path in sys.argv[3:]:\n"
            "    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)\n"
            "    fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)\n"
            "    os.ftruncate(fd, 0)\n"
            "    os.write(fd, str(os.getpid()).encode())\n"
            "    held.append(fd)\n"
            "def note(sig, frame):\n"
            "    name = 'FENCE' if sig == signal.SIGWINCH else signal.Signals(sig).name[3:]\n"
            "    with open(record, 'a') as f:\n"
            "        f.write(name + '\\n')\n"
            "for s in (signal.SIGUSR1, signal.SIGUSR2, signal.SIGTTIN, signal.SIGHUP,\n"
            "          signal.SIGTERM, signal.SIGWINCH):\n"
            "    signal.signal(s, note)\n"
            "with open(ready, 'w') as f:\n"
            "    f.write('ready')\n"
            "while True:\n"
            "    signal.pause()\n",
            0755);
        std::vector<std::string> args = {record, dir.file("ready")};
        args.insert(args.end(), pid_files.begin(), pid_files.end());
        process = start_program(script, args);
        if (!wait_until([&] { return path_exists(dir.file("ready")); }, 30))
            throw std::runtime_error("signal recorder did not start");
    }
    pid_t pid() const { return process.pid(); }

    // The signals received since the last call. A fence signal sent from here (the highest
    // number of those handled) is handled after every signal that was already pending, so
    // the answer is complete.
    std::multiset<std::string> take() {
        kill(pid(), SIGWINCH);
        std::multiset<std::string> got;
        wait_until(
            [&] {
                std::istringstream in(read_text_file(record));
                got.clear();
                std::string line;
                bool fenced = false;
                while (std::getline(in, line)) {
                    if (line == "FENCE")
                        fenced = true;
                    else
                        got.insert(line);
                }
                return fenced;
            },
            30);
        write_text_file(record, "");
        return got;
    }
};

unsigned closed_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

class Tools : public ::testing::Test {
  protected:
    test_database db = make_test_database();
    test_etc_dir etc;
    temp_dir run{"zonaris-run"};
    signal_recorder daemon{{run.file("zonefeedd.pid"), run.file("zonebuildd.pid")}};
    config_pairs extra = {{"ZONEFEED_USER", "root"}, {"ZONEFEED_GROUP", "root"}};

    void SetUp() override {
        ASSERT_EQ(0, db.exec("INSERT INTO misc(param, value) VALUES('log_level', '5')"))
            << db.last_error();
        write_pid(std::to_string(daemon.pid()));
        write_conf();
    }

    void write_pid(const std::string &text) {
        write_text_file(run.file("zonefeedd.pid"), text);
        write_text_file(run.file("zonebuildd.pid"), text);
    }

    void write_conf(const config_pairs &changes = {}, const std::set<std::string> &drop = {}) {
        config_pairs keys = db.config();
        keys.emplace_back("ZONEFEED_PID_FILE", run.file("zonefeedd.pid"));
        keys.emplace_back("ZONEBUILD_PID_FILE", run.file("zonebuildd.pid"));
        keys.insert(keys.end(), extra.begin(), extra.end());
        for (const auto &[k, v] : changes) {
            bool replaced = false;
            for (auto &kv : keys)
                if (kv.first == k) {
                    kv.second = v;
                    replaced = true;
                }
            if (!replaced)
                keys.emplace_back(k, v);
        }
        config_pairs kept;
        for (const auto &kv : keys)
            if (!drop.count(kv.first))
                kept.push_back(kv);
        etc.write_conf(kept);
    }

    program_result tool(const std::string &name, const std::vector<std::string> &args) {
        run_options opts;
        opts.env = {etc.env()};
        return run_program(program_path(name), args, opts);
    }

    long long signal_rows() { return db.count("logs", "message LIKE 'Signal sent%'"); }
};

struct mode_case {
    const char *tool;
    std::vector<std::string> args;
    const char *signal;
    const char *event; // nullptr: no event row
    const char *message;
    const char *facility;
};

TEST_F(Tools, EachModeSignalsTheDaemonAndRecordsIt) {
    const mode_case cases[] = {
        {"zonefeed",
         {"-n"},
         "USR1",
         "Signal sent. Import",
         "Signaled daemon to update everything.",
         "REMOTE_UPDATE"},
        {"zonefeed",
         {"--now", "--force"},
         "USR2",
         "Signal sent. Import all",
         "Signaled daemon to ignore the normal schedule and update everything.",
         "REMOTE_UPDATE"},
        {"zonefeed",
         {"-c"},
         "HUP",
         "Signal sent. Reread config",
         "Signaled daemon to reload the configuration file.",
         "REMOTE_UPDATE"},
        {"zonefeed",
         {"-k"},
         "TERM",
         "Signal sent. Stopping daemon",
         "Signaled daemon to stop.",
         "REMOTE_UPDATE"},
        {"zonebuild",
         {"-n"},
         "USR1",
         "Signal sent. Changes",
         "Signaled daemon to apply any database changes.",
         "ZONEBUILD"},
        {"zonebuild",
         {"-r"},
         "USR2",
         "Signal sent. Restore",
         "Signaled daemon to restore all zones from database.",
         "ZONEBUILD"},
        {"zonebuild",
         {"--config"},
         "HUP",
         "Signal sent. Reread config",
         "Signaled daemon to reload the configuration file.",
         "ZONEBUILD"},
        {"zonebuild",
         {"--kill"},
         "TERM",
         "Signal sent. Stopping daemon",
         "Signaled daemon to stop.",
         "ZONEBUILD"},
        {"zonebuild",
         {"-a"},
         "TTIN",
         nullptr,
         "Signaled daemon to write the Access Control Lists.",
         "ZONEBUILD"},
    };
    const std::string daemon_pid = std::to_string(daemon.pid());
    for (const mode_case &c : cases) {
        const std::string what = std::string(c.tool) + " " + c.args[0];
        ASSERT_EQ(0, db.exec("DELETE FROM logs"));
        program_result r = tool(c.tool, c.args);
        EXPECT_EQ(0, r.exit_code) << what << "\n" << r.err;
        EXPECT_NE(std::string::npos, r.out.find(c.message)) << what << "\n" << r.out;
        EXPECT_EQ(std::multiset<std::string>{c.signal}, daemon.take()) << what;
        if (!c.event) {
            EXPECT_EQ(0, db.count("logs")) << what;
            continue;
        }
        sql_rows rows = db.rows("SELECT facility, level, info_code, info, message FROM logs");
        ASSERT_EQ(1u, rows.size()) << what;
        EXPECT_EQ(c.facility, rows[0][0].value_or("")) << what;
        EXPECT_EQ("5", rows[0][1].value_or("")) << what;
        EXPECT_EQ("ER01a", rows[0][2].value_or("")) << what;
        EXPECT_EQ(c.event, rows[0][4].value_or("")) << what;
        const std::string info = rows[0][3].value_or("");
        if (std::string(c.tool) == "zonefeed") {
            EXPECT_EQ(daemon_pid, info) << what; // the daemon's pid
        } else {
            // the tool's own pid
            EXPECT_NE(daemon_pid, info) << what;
            EXPECT_GT(std::atoi(info.c_str()), 1) << what;
        }
    }
}

TEST_F(Tools, CheckModeOnlyLooksTheDaemonUp) {
    for (const char *name : {"zonefeed", "zonebuild"}) {
        program_result r = tool(name, {});
        EXPECT_EQ(0, r.exit_code) << name << r.err;
        EXPECT_NE(std::string::npos, r.out.find(std::string(name) + "d is running.")) << name;
    }
    EXPECT_TRUE(daemon.take().empty());
    EXPECT_EQ(0, db.count("logs"));
}

TEST_F(Tools, QueuedRequestsReachTheJobQueue) {
    program_result r = tool("zonefeed", {"-n", "-f", "-C", "5  6 05"});
    EXPECT_EQ(0, r.exit_code) << r.err;
    EXPECT_EQ(std::multiset<std::string>{"TTIN"}, daemon.take());
    EXPECT_EQ((sql_rows{{"forceclient", "5", "ZONEFEED"}, {"forceclient", "6", "ZONEFEED"}}),
              db.rows("SELECT action, value, service FROM custom_job_queue "
                      "WHERE timestamp IS NOT NULL ORDER BY value"));
    EXPECT_EQ(1, db.count("logs", "message = 'Signal sent. Import all'"));

    ASSERT_EQ(0, db.exec("DELETE FROM custom_job_queue"));
    r = tool("zonebuild", {"--acl"});
    EXPECT_EQ(0, r.exit_code) << r.err;
    EXPECT_EQ((sql_rows{{"writeacl", std::nullopt, "ZONEBUILD"}}),
              db.rows("SELECT action, value, service FROM custom_job_queue "
                      "WHERE timestamp IS NOT NULL"));
}

TEST_F(Tools, ClientListsOtherThanDecimalIdsQueueNothing) {
    for (const char *list : {"5 x", "5;6", "1 2) OR (1=1", "   ", "-1"}) {
        program_result r = tool("zonefeed", {"-n", "-f", "-C", list});
        EXPECT_EQ(1, r.exit_code) << list;
        EXPECT_FALSE(r.err.empty()) << list;
    }
    program_result r = tool("zonefeed", {"-n", "-C", "5"}); // without --force
    EXPECT_EQ(1, r.exit_code);
    EXPECT_EQ(0, db.count("custom_job_queue"));
    EXPECT_TRUE(daemon.take().empty());
    EXPECT_EQ(0, signal_rows());
}

TEST_F(Tools, FailedSignalIsAFailureWithoutARow) {
    // Acting as nobody, zonefeed may not signal a process of root.
    extra = {{"ZONEFEED_USER", "nobody"}, {"ZONEFEED_GROUP", "nogroup"}};
    write_conf();
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"-n"}, {"-n", "-f"}, {"-n", "-f", "-C", "7 8"}, {"-c"}, {"-k"}}) {
        program_result r = tool("zonefeed", args);
        EXPECT_EQ(1, r.exit_code) << args.back();
        EXPECT_NE(std::string::npos, r.err.find("Failed to signal zonefeedd")) << r.err;
        EXPECT_EQ(std::string::npos, r.out.find("Signaled daemon")) << r.out;
    }
    EXPECT_TRUE(daemon.take().empty());
    EXPECT_EQ(0, signal_rows());
    EXPECT_EQ(0, db.count("custom_job_queue")); // the queued rows were withdrawn
}

TEST_F(Tools, FailedQueueingSendsNoSignal) {
    ASSERT_EQ(0, db.exec("RENAME TABLE custom_job_queue TO custom_job_queue_away"));
    program_result r = tool("zonebuild", {"-a"});
    EXPECT_EQ(1, r.exit_code);
    r = tool("zonefeed", {"-n", "-f", "-C", "3"});
    EXPECT_EQ(1, r.exit_code);
    EXPECT_TRUE(daemon.take().empty());
    EXPECT_EQ(0, signal_rows());
}

TEST_F(Tools, OnlyTheProcessThatHoldsThePidFileIsSignalled) {
    // The pid files are held by the stand-in daemon; what they say must be exactly its pid.
    const std::string pid = std::to_string(daemon.pid());
    struct {
        std::string pid_text;
        const char *message; // nullptr: the daemon is found and signalled
    } held[] = {
        {pid + "\n", nullptr},
        {"1", "Could not determine if "},
        {"0", "Could not determine if "},
        {"garbage", "Could not determine if "},
        {pid + "abc", "Could not determine if "},
        {" " + pid, "Could not determine if "},
        {std::to_string(getpid()), "Could not determine if "}, // a live process, not the holder
    };
    for (const auto &c : held) {
        write_pid(c.pid_text);
        for (const char *name : {"zonefeed", "zonebuild"}) {
            program_result r = tool(name, {"-n"});
            EXPECT_EQ(c.message ? 1 : 0, r.exit_code) << name << " '" << c.pid_text << "'";
            if (c.message) {
                EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
            }
        }
        EXPECT_EQ(daemon.take().size(), c.message ? 0u : 2u) << "'" << c.pid_text << "'";
    }
    EXPECT_EQ(2, signal_rows());
}

TEST_F(Tools, DaemonThatCannotBeFound) {
    // A pid that belonged to a process that has ended.
    running_program ended = start_program("/bin/true", {});
    ASSERT_TRUE(ended.wait_exit(30).has_value());
    const std::string dead = std::to_string(ended.pid());
    // Files that nobody holds (the stand-in daemon holds the removed ones): no daemon runs,
    // whatever they say, even when they name a live process: that one is never signalled.
    const std::optional<std::string> texts[] = {std::nullopt, "1",  "0",
                                                "garbage",    dead, std::to_string(daemon.pid())};
    for (const auto &text : texts) {
        remove_tree(run.file("zonefeedd.pid"));
        remove_tree(run.file("zonebuildd.pid"));
        if (text)
            write_pid(*text);
        for (const char *name : {"zonefeed", "zonebuild"}) {
            program_result r = tool(name, {"-n"});
            EXPECT_EQ(1, r.exit_code) << name << " " << text.value_or("none");
            EXPECT_NE(std::string::npos, r.err.find(std::string(name) + "d is not running."))
                << r.err;
            r = tool(name, {"-k"});
            EXPECT_EQ(1, r.exit_code) << name;
        }
    }
    EXPECT_TRUE(daemon.take().empty());
    EXPECT_EQ(0, signal_rows());
}

TEST_F(Tools, DatabaseSettingsAreHonouredOrRefused) {
    struct {
        config_pairs changes;
        std::set<std::string> drop;
        const char *message;
    } cases[] = {
        {{{"DB_PORT", std::to_string(closed_port())}}, {}, "Failed to initialize database"},
        {{{"DB_PORT", "abc"}}, {}, "Invalid database port: abc."},
        {{{"DB_PORT", "70000"}}, {}, "Invalid database port: 70000."},
        {{}, {"DB_PASSWD"}, "Database password was not specified."},
        {{}, {"DB_HOST"}, "Database host url was not specified."},
        {{{"DB_NAME", "no_such_database"}}, {}, "Cannot select mysql database no_such_database."},
        {{{"ZONEFEED_PID_FILE", "run/zonefeedd.pid"}, {"ZONEBUILD_PID_FILE", "run/zb.pid"}},
         {},
         "An absolute pid file path is required."},
    };
    for (const auto &c : cases) {
        write_conf(c.changes, c.drop);
        for (const char *name : {"zonefeed", "zonebuild"}) {
            program_result r = tool(name, {"-n"});
            EXPECT_EQ(1, r.exit_code) << name << " " << c.message;
            EXPECT_NE(std::string::npos, r.err.find(c.message)) << name << "\n" << r.err;
            EXPECT_NE(std::string::npos, r.err.find(std::string("Failed to initialize ") + name))
                << r.err;
        }
    }
    EXPECT_TRUE(daemon.take().empty());
}

TEST_F(Tools, EventRowsFollowTheDatabaseLogLevel) {
    ASSERT_EQ(0, db.exec("UPDATE misc SET value = '3' WHERE param = 'log_level'"));
    program_result r = tool("zonebuild", {"-n"});
    EXPECT_EQ(0, r.exit_code) << r.err;
    EXPECT_EQ(std::multiset<std::string>{"USR1"}, daemon.take());
    EXPECT_EQ(0, signal_rows()); // level 5 rows stay below a threshold of 3
}

} // namespace
