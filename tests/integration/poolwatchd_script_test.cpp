// Test scripts run under the calling convention: one argument, exactly the pool's
// environment, the outcome from the exit status, the time limit enforced on the script's
// whole process group, and nothing of a script left running or unreaped afterwards.
#include "poolwatch_testrun.h"
#include "run_program.h"
#include "temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

namespace {

// The daemon reaps what its scripts leave behind; so does this test process.
class ReaperEnvironment : public testing::Environment {
  public:
    void SetUp() override { ASSERT_EQ(run_become_subreaper(), 0); }
};
testing::Environment *const reaper_env = testing::AddGlobalTestEnvironment(new ReaperEnvironment);

class poolwatchdScript : public testing::Test {
  protected:
    temp_dir dir{"pw-script"};

    std::string script(const std::string &name, const std::string &body) {
        const std::string path = dir.file(name);
        write_text_file(path, "#!/bin/sh\n" + body, 0755);
        return path;
    }

    run_result run(const std::string &path, int timeout_s = 30, int grace_s = 30,
                   std::vector<std::string> env = {"TIMEOUT=20"}) {
        return run_child_program(
            poolwatch_script_run(path, "http://192.0.2.1/", env, {timeout_s, grace_s}));
    }

    pid_t pid_in(const std::string &name) {
        wait_until([&] { return read_text_file(dir.file(name)).find('\n') != std::string::npos; },
                   10);
        return static_cast<pid_t>(std::atoi(read_text_file(dir.file(name)).c_str()));
    }
};

// Neither running nor a zombie: reaped.
bool process_gone(pid_t pid) {
    return pid > 1 && kill(pid, 0) != 0 && errno == ESRCH;
}

// Ended, but not reaped yet.
bool zombie(pid_t pid) {
    const std::string stat = read_text_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t p = stat.rfind(')');
    return p != std::string::npos && p + 2 < stat.size() && stat[p + 2] == 'Z';
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(text.substr(start, nl - start));
    return out;
}

} // namespace

TEST_F(poolwatchdScript, ExitStatusGivesTheOutcome) {
    struct {
        int code, outcome;
    } cases[] = {{0, OUTCOME_UP}, {1, OUTCOME_DOWN}, {2, OUTCOME_DOWN}, {255, OUTCOME_DOWN}};
    for (const auto &c : cases) {
        const run_result r = run(script("exit", "exit " + std::to_string(c.code) + "\n"));
        EXPECT_EQ(r.end, RUN_EXITED) << c.code;
        EXPECT_EQ(r.exit_code, c.code);
        EXPECT_EQ(poolwatch_run_outcome(r), c.outcome) << c.code;
    }
}

TEST_F(poolwatchdScript, GetsOneArgumentAndExactlyThePoolsEnvironment) {
    const std::string out = dir.file("seen");
    const std::string path =
        script("check", "echo \"$0|$#|$1\" > " + out +
                            "\n/usr/bin/tr '\\0' '\\n' < /proc/$$/environ >> " + out + "\n");
    const run_result r = run(path, 30, 30, {"TIMEOUT=5", "PORT=8080"});
    ASSERT_EQ(r.end, RUN_EXITED);
    EXPECT_THAT(lines(read_text_file(out)),
                ElementsAre(path + "|1|http://192.0.2.1/", "TIMEOUT=5", "PORT=8080"));
}

TEST_F(poolwatchdScript, StartsWithDefaultSignalsAndNoInheritedDescriptors) {
    // The daemon's threads block SIGTERM and SIGHUP, and the client library ignores SIGPIPE:
    // none of that may reach a script. Nor may a descriptor opened without close-on-exec.
    struct sigaction ignore {
    }, old_pipe{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old_pipe);
    const int leaked = fcntl(STDERR_FILENO, F_DUPFD, 50);
    ASSERT_GE(leaked, 50);

    // The shell keeps the dispositions it finds ignored (as POSIX asks) but clears its own
    // mask, so the mask and the descriptors are looked at by a program that changes neither.
    const std::string ignored = dir.file("ignored"), state = dir.file("state");
    const std::string shell =
        script("ignored", "/bin/grep -E '^SigIgn' /proc/$$/status > " + ignored + "\n");
    const std::string path = dir.file("state.py");
    write_text_file(path,
                    "#!/usr/bin/python3\nimport os\nwith open('" + state +
                        "', 'w') as f:\n    f.write(open('/proc/self/status').read())\n"
                        "    f.write('\\n'.join(os.listdir('/proc/self/fd')) + '\\n')\n",
                    0755);
    run_result r;
    std::thread worker([&] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        r = run(path);
        run(shell);
    });
    worker.join();
    close(leaked);
    sigaction(SIGPIPE, &old_pipe, nullptr);

    ASSERT_EQ(r.end, RUN_EXITED);
    const std::string seen = read_text_file(state);
    EXPECT_THAT(seen, HasSubstr("SigBlk:\t0000000000000000\n"));
    // Nothing is ignored but the C library's two internal signals (32 and 33), which glibc's
    // process spawning leaves ignored and every glibc program takes over at its start.
    const std::string ign = read_text_file(ignored);
    ASSERT_THAT(ign, HasSubstr("SigIgn:\t"));
    EXPECT_EQ(std::stoull(ign.substr(ign.find('\t') + 1), nullptr, 16) & ~0x180000000ULL, 0u)
        << ign;
    EXPECT_THAT(lines(seen), Not(testing::Contains(std::to_string(leaked))));
}

TEST_F(poolwatchdScript, AHangingScriptIsTerminatedWithEverythingItStarted) {
    const std::string path = script("hang", "/bin/sleep 1000 &\necho $! > " + dir.file("child") +
                                                "\necho $$ > " + dir.file("self") + "\nwait\n");
    run_result r;
    std::thread worker([&] {
        // A worker thread blocks the daemon's signals; the limit's SIGTERM must still work.
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        r = run(path, 1, 30);
    });
    worker.join();
    EXPECT_EQ(r.end, RUN_TIMED_OUT);
    EXPECT_EQ(r.signal, SIGTERM) << "SIGTERM was enough; no SIGKILL needed";
    EXPECT_EQ(poolwatch_run_outcome(r), OUTCOME_DOWN);
    EXPECT_TRUE(process_gone(pid_in("self")));
    EXPECT_TRUE(process_gone(pid_in("child"))) << "the background sleep must not survive";
}

TEST_F(poolwatchdScript, AScriptIgnoringSigtermIsKilledAfterTheGracePeriod) {
    const std::string path =
        script("stubborn", "trap '' TERM\n/bin/sleep 1000 &\necho $! > " + dir.file("child") +
                               "\nwhile :; do /bin/sleep 1; done\n");
    const run_result r = run(path, 1, 1);
    EXPECT_EQ(r.end, RUN_TIMED_OUT);
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_EQ(poolwatch_run_outcome(r), OUTCOME_DOWN);
    EXPECT_TRUE(process_gone(pid_in("child")));
}

TEST_F(poolwatchdScript, AScriptEndedByASignalFromElsewhereGivesNoAnswer) {
    // An interpreter that crashes, or a kill by an administrator or the service manager, is
    // no finding about the record: only the exit status and our own time limit are.
    const run_result killed = run(script("kill9", "kill -KILL $$\n"));
    EXPECT_EQ(killed.end, RUN_SIGNALLED);
    EXPECT_EQ(killed.signal, SIGKILL);
    EXPECT_EQ(poolwatch_run_outcome(killed), OUTCOME_NONE);

    const run_result termed = run(script("kill15", "kill -TERM $$\n"));
    EXPECT_EQ(termed.end, RUN_SIGNALLED) << "a SIGTERM we did not send is not the time limit";
    EXPECT_EQ(poolwatch_run_outcome(termed), OUTCOME_NONE);
    EXPECT_THAT(poolwatch_run_failure(termed), HasSubstr("signal 15"));
}

TEST_F(poolwatchdScript, AStoppingDaemonEndsItsScriptsAtOnce) {
    const std::string path = script("hang", "/bin/sleep 1000 &\necho $! > " + dir.file("child") +
                                                "\nexec /bin/sleep 1000\n");
    const int stop = eventfd(0, EFD_CLOEXEC);
    ASSERT_GE(stop, 0);
    run_result r;
    std::thread worker([&] {
        r = run_child_program(poolwatch_script_run(path, "x", {"TIMEOUT=20"}, {600, 30, stop}));
    });
    const pid_t child = pid_in("child");
    const uint64_t one = 1;
    ASSERT_EQ(write(stop, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    worker.join(); // well before the 600 s limit
    close(stop);
    EXPECT_EQ(r.end, RUN_STOPPED);
    EXPECT_EQ(poolwatch_run_outcome(r), OUTCOME_NONE);
    EXPECT_TRUE(process_gone(child));
}

TEST_F(poolwatchdScript, ScriptThatLeavesAGrandchildIsAnsweredAtItsOwnExit) {
    // The grandchild holds nothing the run waits for; it is cleared away with the group.
    const std::string path =
        script("forker", "/bin/sleep 1000 &\necho $! > " + dir.file("child") + "\nexit 0\n");
    const run_result r = run(path, 30);
    EXPECT_EQ(r.end, RUN_EXITED) << "the run must not wait for the grandchild";
    EXPECT_EQ(poolwatch_run_outcome(r), OUTCOME_UP);
    EXPECT_TRUE(process_gone(pid_in("child")));
}

TEST_F(poolwatchdScript, MegabytesOfOutputDoNotStallTheRun) {
    const run_result r =
        run(script("chatty", "/usr/bin/head -c 16000000 /dev/zero\n/usr/bin/head -c 4000000 "
                             "/dev/zero >&2\nexit 1\n"));
    EXPECT_EQ(r.end, RUN_EXITED);
    EXPECT_EQ(r.exit_code, 1);
}

TEST_F(poolwatchdScript, AScriptThatCannotBeExecutedGivesNoAnswer) {
    const std::string bad_interpreter = dir.file("bad");
    write_text_file(bad_interpreter, "#!/nonexistent/interpreter\n", 0755);
    run_result r = run(bad_interpreter);
    EXPECT_EQ(r.end, RUN_EXEC_FAILED);
    EXPECT_EQ(r.error, ENOENT);
    EXPECT_EQ(poolwatch_run_outcome(r), OUTCOME_NONE);

    const std::string not_executable = dir.file("plain");
    write_text_file(not_executable, "#!/bin/sh\nexit 0\n", 0644);
    r = run(not_executable);
    EXPECT_EQ(r.end, RUN_EXEC_FAILED);
    EXPECT_EQ(r.error, EACCES);
    EXPECT_EQ(poolwatch_run_outcome(r), OUTCOME_NONE);
}

TEST_F(poolwatchdScript, ADescendantThatLeftTheGroupIsReapedOnceItEnds) {
    // It left the script's process group (and session), so the group's end does not reach
    // it; it comes back to us as an orphan and must not stay a zombie.
    const std::string path =
        script("escape", "/usr/bin/setsid /bin/sh -c 'echo $$ > " + dir.file("escaped") +
                             "; exec /bin/sleep 0.3' &\nwhile [ ! -s " + dir.file("escaped") +
                             " ]; do /bin/sleep 0.01; done\nexit 0\n");
    const run_result r = run(path);
    ASSERT_EQ(r.end, RUN_EXITED);
    const pid_t escaped = pid_in("escaped");
    ASSERT_TRUE(wait_until([&] { return zombie(escaped) || process_gone(escaped); }, 10));
    run_reap_orphans(); // the daemon does this on SIGCHLD and after every run
    EXPECT_TRUE(process_gone(escaped)) << "left a zombie";
}

TEST_F(poolwatchdScript, RunsUnderTheConfiguredAccount) {
    if (geteuid() != 0)
        GTEST_SKIP() << "changing the user needs root";
    script_account nobody;
    ASSERT_EQ(poolwatch_script_account("nobody", nobody), 0);
    ASSERT_TRUE(nobody.switch_user);
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    const std::string out = dir.file("who.out");
    const std::string path =
        script("who", "/usr/bin/id -u > " + out + "\n/usr/bin/id -G >> " + out +
                          "\n/bin/grep -E '^CapEff' /proc/$$/status "
                          ">> " +
                          out + "\n");
    const run_result r =
        run_child_program(poolwatch_script_run(path, "x", {"TIMEOUT=20"}, {30, 30}, nobody));
    ASSERT_EQ(r.end, RUN_EXITED);
    EXPECT_EQ(r.exit_code, 0);
    const std::vector<std::string> seen = lines(read_text_file(out));
    ASSERT_EQ(seen.size(), 3u) << read_text_file(out);
    EXPECT_EQ(seen[0], std::to_string(nobody.uid));
    EXPECT_THAT(seen[1], Not(testing::MatchesRegex("(.* )?0( .*)?"))) << "no root group";
    EXPECT_EQ(seen[2], "CapEff:\t0000000000000000");
}
