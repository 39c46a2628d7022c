// The child-program runner: argv and env as given, input, output, limits, leftovers.
#include "program_runner.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

program_run shell(const std::string &script) {
    program_run run;
    run.path = "/bin/sh";
    run.argv = {"sh", "-c", script, "arg0", "two words"};
    run.capture = true;
    return run;
}

} // namespace

TEST(ProgramRunner, ArgumentsEnvironmentInputAndExitStatus) {
    program_run run = shell("printf '%s|' \"$1\" \"$FOO\" \"${HOME-unset}\"; cat; exit 3");
    run.env = std::vector<std::string>{"FOO=b a r"};
    run.input = "from stdin";
    const run_result r = run_child_program(run);
    EXPECT_EQ(r.end, RUN_EXITED);
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.output, "two words|b a r|unset|from stdin");
    EXPECT_FALSE(r.succeeded());
}

TEST(ProgramRunner, NoInheritedDescriptorsAndDefaultSignals) {
    const int fd = dup(STDOUT_FILENO); // not close-on-exec
    sigset_t set, old;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, &old);
    const run_result r = run_child_program(
        shell("ls /proc/self/fd | sort -n | tr '\\n' ' '; grep SigBlk /proc/self/status"));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    close(fd);
    EXPECT_TRUE(r.succeeded()) << run_result_text(r);
    // 0, 1, 2 and the descriptor ls opens to read the directory.
    EXPECT_EQ(r.output.substr(0, 8), "0 1 2 3 ") << r.output;
    EXPECT_NE(r.output.find("SigBlk:\t0000000000000000"), std::string::npos) << r.output;
}

TEST(ProgramRunner, TimeLimitStopsTheWholeGroup) {
    ASSERT_EQ(0, run_become_subreaper()); // the leftovers come back to us to be reaped
    program_run run = shell("sleep 600 & echo $!; sleep 600");
    run.limit = 300ms;
    run.grace = 300ms;
    const run_result r = run_child_program(run);
    EXPECT_EQ(r.end, RUN_TIMED_OUT);
    const pid_t leftover = std::stoi(r.output);
    EXPECT_NE(0, kill(leftover, 0)); // gone with its group
}

TEST(ProgramRunner, LeftoversOfAFinishedProgramAreKilled) {
    ASSERT_EQ(0, run_become_subreaper());
    const run_result r = run_child_program(shell("sleep 600 & echo $!"));
    EXPECT_TRUE(r.succeeded()) << run_result_text(r);
    EXPECT_NE(0, kill(std::stoi(r.output), 0));
}

TEST(ProgramRunner, FailuresToStartAndSignals) {
    program_run missing;
    missing.path = "/nonexistent/program";
    const run_result m = run_child_program(missing);
    EXPECT_EQ(m.end, RUN_EXEC_FAILED);
    EXPECT_EQ(m.error, ENOENT);

    const run_result s = run_child_program(shell("kill -SEGV $$"));
    EXPECT_EQ(s.end, RUN_SIGNALLED);
    EXPECT_EQ(s.signal, SIGSEGV);

    program_run big = shell("head -c 100000 /dev/zero");
    big.capture_limit = 1000;
    const run_result b = run_child_program(big);
    EXPECT_TRUE(b.succeeded());
    EXPECT_EQ(b.output.size(), 1000u);
    EXPECT_TRUE(b.truncated);
}

TEST(ProgramRunner, AnAccountToRunUnderAndAStopDescriptor) {
    if (geteuid() != 0)
        GTEST_SKIP() << "changing the account needs root";
    program_run run = shell("id -u; id -G; exec sleep 600");
    run.account = run_account{65534, 65534, {}};
    const int stop = eventfd(0, EFD_CLOEXEC);
    ASSERT_GE(stop, 0);
    run.stop_fd = stop;
    std::thread stopper([&] {
        std::this_thread::sleep_for(300ms);
        const uint64_t one = 1;
        EXPECT_EQ(write(stop, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    });
    const run_result r = run_child_program(run);
    stopper.join();
    close(stop);
    EXPECT_EQ(r.end, RUN_STOPPED) << run_result_text(r);
    EXPECT_EQ(r.output, "65534\n65534\n");
}
