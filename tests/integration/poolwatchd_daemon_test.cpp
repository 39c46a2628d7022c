// poolwatchd as a program: exit codes, the single-instance lock, --readconfig, and whole
// test cycles against a private MariaDB and real scripts: records switched with their
// changes rows, time limits, reload and shutdown while tests run, and the database going
// away in the middle of a cycle.
#include "etc_fixture.h"
#include "mariadb_fixture.h"
#include "run_program.h"
#include "temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using testing::HasSubstr;

namespace {

// A TCP relay in front of the database that the test can cut and restore: the database
// "goes away" for the daemon alone, while the test keeps its own connection.
class tcp_relay {
  public:
    explicit tcp_relay(unsigned target) : target_(target) {
        open_listener();
        thread_ = std::thread([this] { run(); });
    }
    ~tcp_relay() {
        stop_ = true;
        thread_.join();
        close_all();
    }
    unsigned port() const { return port_; }
    // Closes the listener and every relayed connection; returns once done.
    void cut() { request(cut_requested_); }
    // Listens again on the same port.
    void restore() { request(restore_requested_); }

  private:
    void request(std::atomic<bool> &flag) {
        flag = true;
        wait_until([&] { return !flag; }, 10, 0.005);
    }
    void open_listener() {
        listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port_));
        socklen_t len = sizeof a;
        if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            listen(listen_fd_, 64) != 0 ||
            getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            throw std::runtime_error(std::string("relay: ") + strerror(errno));
        port_ = ntohs(a.sin_port);
    }
    int connect_target() {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(target_));
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }
    void close_all() {
        if (listen_fd_ >= 0)
            close(listen_fd_);
        listen_fd_ = -1;
        for (auto [a, b] : pairs_) {
            close(a);
            close(b);
        }
        pairs_.clear();
    }
    void run() {
        char buf[65536];
        while (!stop_) {
            if (cut_requested_) {
                close_all();
                cut_requested_ = false;
            }
            if (restore_requested_) {
                open_listener();
                restore_requested_ = false;
            }
            std::vector<pollfd> fds;
            if (listen_fd_ >= 0)
                fds.push_back({listen_fd_, POLLIN, 0});
            for (auto [a, b] : pairs_) {
                fds.push_back({a, POLLIN, 0});
                fds.push_back({b, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), 20) <= 0)
                continue;
            std::vector<std::pair<int, int>> keep;
            size_t i = 0;
            if (listen_fd_ >= 0 && (fds[i++].revents & POLLIN)) {
                int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
                int server = client >= 0 ? connect_target() : -1;
                if (server >= 0)
                    keep.push_back({client, server});
                else if (client >= 0)
                    close(client);
            }
            for (auto [a, b] : pairs_) {
                bool open = true;
                for (auto [from, to] : {std::pair{a, b}, std::pair{b, a}}) {
                    if (!open || !(fds[i++].revents & (POLLIN | POLLHUP | POLLERR)))
                        continue;
                    ssize_t n = read(from, buf, sizeof buf);
                    for (ssize_t done = 0; n > 0 && done < n;) {
                        ssize_t w = write(to, buf + done, n - done);
                        if (w <= 0) {
                            n = -1;
                            break;
                        }
                        done += w;
                    }
                    open = n > 0;
                }
                if (open) {
                    keep.push_back({a, b});
                } else {
                    close(a);
                    close(b);
                }
            }
            pairs_ = std::move(keep);
        }
    }

    unsigned target_, port_ = 0;
    int listen_fd_ = -1;
    std::vector<std::pair<int, int>> pairs_;
    std::atomic<bool> stop_{false}, cut_requested_{false}, restore_requested_{false};
    std::thread thread_;
};

// Neither running nor waiting to be reaped by anyone but init.
bool process_gone(pid_t pid) {
    std::string stat = read_text_file("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty())
        return true;
    size_t p = stat.rfind(')');
    return p != std::string::npos && p + 2 < stat.size() && stat[p + 2] == 'Z';
}

std::vector<pid_t> pids_in(const std::string &text) {
    std::vector<pid_t> pids;
    for (size_t at = 0; at < text.size();) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos)
            nl = text.size();
        if (nl > at)
            pids.push_back(static_cast<pid_t>(std::atoi(text.substr(at, nl - at).c_str())));
        at = nl + 1;
    }
    return pids;
}

size_t occurrences(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The test script. Its argument is the pool's test URL "$RR" or "$RR/<tag>"; flag files
// named after it ("/" read as "-") make it fail (down-), hang with a child (hang-), or wait
// for the test (hold-, until release-). Every run appends its pid to ran-<key>.
std::string check_script(const std::string &flags) {
    return "#!/bin/sh\n"
           "k=$(echo \"$1\" | /usr/bin/tr / -)\n"
           "F=" +
           flags +
           "\n"
           "echo $$ >> $F/ran-$k\n"
           "if [ -e $F/hang-$k ]; then /bin/sleep 1000 & echo $! > $F/child-$k; wait; fi\n"
           "if [ -e $F/hold-$k ]; then\n"
           "  echo $$ > $F/held-$k\n"
           "  while [ ! -e $F/release-$k ] && kill -0 $PPID 2>/dev/null; do /bin/sleep 0.02; done\n"
           "fi\n"
           "[ -e $F/down-$k ] && exit 1\n"
           "exit 0\n";
}

class poolwatchdDaemon : public testing::Test {
  protected:
    test_database db = make_test_database();
    test_etc_dir etc;
    temp_dir dir{"pw-daemon"};
    std::string scripts = dir.make_subdir("scripts");
    std::string flags = dir.make_subdir("flags");
    std::string pid_file = dir.file("poolwatch.pid");
    std::optional<running_program> daemon;
    int zone_id = 0;

    void SetUp() override {
        write_text_file(scripts + "/check", check_script(flags), 0755);
        exec("INSERT INTO rrobin_protocols(code, script) VALUES('CHECK', 'check')");
        exec("INSERT INTO misc(param, value) VALUES('log_level', '5')");
        zone_id = insert("INSERT INTO zone(name) VALUES('example.net')");
        write_conf();
    }

    void TearDown() override {
        if (daemon && daemon->running()) {
            daemon->signal(SIGTERM);
            if (!daemon->wait_exit(30))
                daemon->kill_now();
        }
        if (HasFailure() && daemon)
            std::cerr << "--- daemon output\n" << daemon->out() << "--- errors\n" << daemon->err();
        // Whatever a failed test left behind.
        if (DIR *d = opendir(flags.c_str())) {
            while (dirent *e = readdir(d)) {
                const std::string name = e->d_name;
                if (name.rfind("child-", 0) == 0 || name.rfind("held-", 0) == 0)
                    for (pid_t pid : pids_in(read_text_file(flags + "/" + name)))
                        if (pid > 1 && !process_gone(pid))
                            kill(pid, SIGKILL);
            }
            closedir(d);
        }
    }

    void exec(const std::string &sql) {
        ASSERT_EQ(db.exec(sql), 0) << db.last_error() << "\n" << sql;
    }
    int insert(const std::string &sql) {
        EXPECT_EQ(db.exec(sql), 0) << db.last_error() << "\n" << sql;
        return std::stoi(*db.value("SELECT LAST_INSERT_ID()"));
    }
    int record(const std::string &value, int status = 1) {
        return insert(
            "INSERT INTO zone_dns_records(zone_id, entry_type, host, value, status) VALUES(" +
            std::to_string(zone_id) + ", 'A', 'www', '" + value + "', " + std::to_string(status) +
            ")");
    }
    int pool(const std::string &name, const std::string &url = "$RR", int status = 1,
             const std::string &protocol = "CHECK") {
        return insert(
            "INSERT INTO rrobin_pool(name, zone_id, protocol_code, monit_interval, test_url, "
            "status) VALUES('" +
            name + "', " + std::to_string(zone_id) + ", '" + protocol + "', 1, '" + url + "', " +
            std::to_string(status) + ")");
    }
    void member(int pool_id, int record_id) {
        exec("INSERT INTO rrobin_pool_records(rrobin_pool_id, zone_dns_records_id) VALUES(" +
             std::to_string(pool_id) + ", " + std::to_string(record_id) + ")");
    }
    int status_of(int id) {
        return std::stoi(
            *db.value("SELECT status FROM zone_dns_records WHERE id = " + std::to_string(id)));
    }
    void flag(const std::string &name) { write_text_file(flags + "/" + name, ""); }
    void unflag(const std::string &name) { unlink((flags + "/" + name).c_str()); }
    size_t runs(const std::string &key) {
        return pids_in(read_text_file(flags + "/ran-" + key)).size();
    }

    void write_conf(const config_pairs &changes = {}, unsigned db_port = 0) {
        config_pairs keys = db.config();
        if (db_port)
            for (auto &[k, v] : keys)
                if (k == "DB_PORT")
                    v = std::to_string(db_port);
        keys.insert(keys.end(), {{"POOLWATCH_CONCURRENCY", "4"},
                                 {"POOLWATCH_DRIFT", "1"},
                                 {"POOLWATCH_TIMEOUT", "2"},
                                 {"POOLWATCH_POOLING_INTERVAL", "1"},
                                 {"POOLWATCH_PID_FILE", pid_file},
                                 {"POOLWATCH_D", scripts},
                                 {"POOLWATCH_LOG_LEVEL", "DEBUG"}});
        for (const auto &[key, value] : changes) {
            std::erase_if(keys, [&](const auto &kv) { return kv.first == key; });
            if (!value.empty())
                keys.push_back({key, value});
        }
        etc.write_conf(keys);
    }

    run_options options() const {
        run_options o;
        o.env = {etc.env()};
        o.timeout_s = 60;
        return o;
    }
    program_result run(const std::vector<std::string> &args) {
        return run_program("poolwatchd", args, options());
    }
    void start() {
        daemon = start_program("poolwatchd", {"-X"}, options());
        ASSERT_TRUE(wait_until(
            [&] { return read_text_file(pid_file) == std::to_string(daemon->pid()); }, 30))
            << daemon->err();
    }
    bool daemon_says(const std::string &text, double timeout_s = 30) {
        return wait_until(
            [&] { return (daemon->out() + daemon->err()).find(text) != std::string::npos; },
            timeout_s);
    }
    std::string log_messages() {
        std::string all;
        for (const auto &row : db.rows("SELECT message FROM logs ORDER BY id"))
            all += *row[0] + "\n";
        return all;
    }
};

} // namespace

TEST_F(poolwatchdDaemon, StartUpFailuresEndWithTheirExitCodes) {
    struct {
        config_pairs changes;
        bool drop_protocols;
        int code;
    } cases[] = {
        {{{"DB_NAME", ""}}, false, 5},
        {{{"DB_PASSWD", "wrong password"}}, false, 3},
        {{{"DB_NAME", "no_such_database_here"}}, false, 4},
        {{{"POOLWATCH_PID_FILE", dir.file("missing/dir/pw.pid")}}, false, 7},
        {{}, true, 6},
    };
    for (const auto &c : cases) {
        write_conf(c.changes);
        if (c.drop_protocols)
            exec("DELETE FROM rrobin_protocols");
        const program_result r = run({"-X"});
        EXPECT_EQ(r.exit_code, c.code) << r.err;
    }
    EXPECT_FALSE(path_exists(pid_file)) << "a daemon that stopped removes its pid file";
}

TEST_F(poolwatchdDaemon, OnlyOneInstanceRunsAndReadconfigReachesIt) {
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_EQ(run({"-X"}).exit_code, 9);

    const program_result reload = run({"--readconfig"});
    EXPECT_EQ(reload.exit_code, 0) << reload.err;
    EXPECT_TRUE(daemon_says("Reloading configuration file."));
    EXPECT_TRUE(daemon_says("Round robin scheduler reset done."));

    ASSERT_EQ(daemon->signal(SIGTERM), 0);
    auto end = daemon->wait_exit(30);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->exit_code, 0);
    EXPECT_FALSE(path_exists(pid_file));
    EXPECT_THAT(log_messages(), HasSubstr("Startup succeeded\nDaemon is gracefully going down\n"));

    program_result r = run({"-c"});
    EXPECT_EQ(r.exit_code, 7);
    EXPECT_THAT(r.err, HasSubstr("Cannot open file:" + pid_file + " for reading"));
    // A pid file naming a live process that holds no lock on it: no daemon.
    write_text_file(pid_file, std::to_string(getpid()));
    r = run({"-c"});
    EXPECT_EQ(r.exit_code, 8);
    EXPECT_THAT(r.err, HasSubstr("'poolwatchd' daemon is stopped"));
    write_text_file(pid_file, "1");
    EXPECT_EQ(run({"-c"}).exit_code, 8);
}

TEST_F(poolwatchdDaemon, AFailingMemberIsSwitchedOffAndBackOnWithItsZoneQueued) {
    const int good = record("192.0.2.1"), bad = record("192.0.2.2");
    const int p = pool("web");
    member(p, good);
    member(p, bad);
    flag("down-192.0.2.2");
    ASSERT_NO_FATAL_FAILURE(start());

    ASSERT_TRUE(wait_until([&] { return status_of(bad) == 9; }, 30));
    EXPECT_EQ(status_of(good), 1);
    EXPECT_EQ(db.rows("SELECT zone_name, type FROM changes"), (sql_rows{{"example.net", "u"}}));
    EXPECT_THAT(
        log_messages(),
        HasSubstr("Zone example.net record type A with value 192.0.2.2 found not available, "
                  "disabling\n"));

    exec("DELETE FROM changes"); // served by the zone builder
    unflag("down-192.0.2.2");
    ASSERT_TRUE(wait_until([&] { return status_of(bad) == 1; }, 30));
    EXPECT_EQ(db.count("changes", "zone_name = 'example.net' AND type = 'u'"), 1);
    EXPECT_THAT(log_messages(), HasSubstr("with value 192.0.2.2 found available, enabling\n"));
}

TEST_F(poolwatchdDaemon, ARecordInSeveralPoolsIsSwitchedOnceEveryRunningPoolHasReported) {
    const int r = record("192.0.2.1");
    const int a = pool("a", "$RR/a"), b = pool("b", "$RR/b");
    const int off = pool("off", "$RR/off", 0), broken = pool("broken", "$RR/broken", 1, "");
    for (int p : {a, b, off, broken})
        member(p, r);
    flag("down-192.0.2.1-b");
    ASSERT_NO_FATAL_FAILURE(start());

    ASSERT_TRUE(wait_until([&] { return status_of(r) == 9; }, 30))
        << "an inactive or refused pool must not hold the record back";
    EXPECT_GE(runs("192.0.2.1-a") + runs("192.0.2.1-b"), 1u);
    EXPECT_EQ(runs("192.0.2.1-off") + runs("192.0.2.1-broken"), 0u);
    // Several more cycles: the verdict stands, nothing is switched or queued again.
    const size_t before = occurrences(daemon->out(), "found unchanged");
    ASSERT_TRUE(wait_until(
        [&] { return occurrences(daemon->out(), "found unchanged") >= before + 3; }, 30));
    EXPECT_EQ(db.count("changes"), 1);
    EXPECT_EQ(db.count("logs", "message LIKE '%disabling'"), 1);
}

TEST_F(poolwatchdDaemon, AHangingTestIsStoppedAtTheTimeLimitWithWhatItStarted) {
    const int r = record("192.0.2.1");
    member(pool("web"), r);
    flag("hang-192.0.2.1");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(wait_until([&] { return path_exists(flags + "/child-192.0.2.1"); }, 30));
    const pid_t child = pids_in(read_text_file(flags + "/child-192.0.2.1")).at(0);
    ASSERT_TRUE(wait_until([&] { return status_of(r) == 9; }, 30));
    EXPECT_TRUE(daemon_says("stopped due to timeout."));
    EXPECT_TRUE(wait_until([&] { return process_gone(child); }, 10));
    for (pid_t pid : pids_in(read_text_file(flags + "/ran-192.0.2.1")))
        EXPECT_TRUE(wait_until([&] { return process_gone(pid); }, 10)) << pid;
}

TEST_F(poolwatchdDaemon, AReloadInTheMiddleOfACycleNeitherLosesNorDoublesAResult) {
    const int r = record("192.0.2.1");
    const int a = pool("a", "$RR/a"), b = pool("b", "$RR/b");
    member(a, r);
    member(b, r);
    flag("down-192.0.2.1-a");
    flag("down-192.0.2.1-b");
    flag("hold-192.0.2.1-a");
    write_conf({{"POOLWATCH_TIMEOUT", "20"}}); // the held test must end on its own
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(wait_until([&] { return path_exists(flags + "/held-192.0.2.1-a"); }, 30));

    ASSERT_EQ(daemon->signal(SIGHUP), 0);
    // The reload waits for the running test, whose result still counts.
    ASSERT_TRUE(daemon_says("Preparing to re-read configuration file."));
    flag("release-192.0.2.1-a");
    ASSERT_TRUE(daemon_says("Round robin scheduler reset done."));
    EXPECT_FALSE(daemon_says("stopped due to timeout.", 0)) << "the held test ended on its own";
    ASSERT_TRUE(wait_until([&] { return status_of(r) == 9; }, 30));
    const size_t before = occurrences(daemon->out(), "found unchanged");
    ASSERT_TRUE(wait_until(
        [&] { return occurrences(daemon->out(), "found unchanged") >= before + 2; }, 30));
    EXPECT_EQ(db.count("changes"), 1);
    EXPECT_EQ(db.count("logs", "message LIKE '%disabling'"), 1);
    EXPECT_TRUE(daemon->running());
}

TEST_F(poolwatchdDaemon, StoppingWhileATestRunsEndsCleanlyAndLeavesNoProcess) {
    const int r = record("192.0.2.1");
    member(pool("web"), r);
    flag("hold-192.0.2.1");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(wait_until([&] { return path_exists(flags + "/held-192.0.2.1"); }, 30));
    const pid_t script = pids_in(read_text_file(flags + "/held-192.0.2.1")).at(0);

    ASSERT_EQ(daemon->signal(SIGTERM), 0);
    auto end = daemon->wait_exit(30); // the held script ends at the 2 s time limit
    ASSERT_TRUE(end) << "the daemon must not wait for the script beyond its time limit";
    EXPECT_EQ(end->exit_code, 0);
    EXPECT_TRUE(process_gone(script));
    EXPECT_FALSE(path_exists(pid_file));
    EXPECT_THAT(daemon->out(), HasSubstr("Daemon has been gracefully stopped..."));
    EXPECT_THAT(log_messages(), HasSubstr("Daemon is gracefully going down\n"));
}

TEST_F(poolwatchdDaemon, TheDatabaseGoingAwayMidCycleSwitchesNothingUntilItIsBack) {
    tcp_relay relay(db.port);
    write_conf({}, relay.port());
    const int r = record("192.0.2.1");
    member(pool("web"), r);
    flag("hold-192.0.2.1");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(wait_until([&] { return path_exists(flags + "/held-192.0.2.1"); }, 30));

    relay.cut();
    flag("down-192.0.2.1");
    flag("release-192.0.2.1");
    ASSERT_TRUE(daemon_says("could not be switched"));
    EXPECT_EQ(status_of(r), 1) << "no switch on a result that could not be recorded";
    EXPECT_EQ(db.count("changes"), 0);
    ASSERT_TRUE(daemon_says("Cannot connect to database, abort poll: web processing."));

    unflag("hold-192.0.2.1");
    relay.restore();
    ASSERT_TRUE(wait_until([&] { return status_of(r) == 9; }, 30)) << "carries on once it is back";
    EXPECT_EQ(db.count("changes"), 1);
    EXPECT_TRUE(daemon_says("Reloading active polls from database."));
}
