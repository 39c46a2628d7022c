// The logging front end: thresholds and level names, the line format, and where each
// engine sends a line. Each case runs in a child process with its own standard output and
// error captured, since the logging state and the streams are process-wide.
#include "logging.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct captured {
    int status = -1; // the child's exit status
    std::string out, err;
};

// Runs `body` in a child whose standard output and error go to files; the child's exit
// status is what `body` returns.
captured in_child(const std::function<int()> &body) {
    temp_dir dir;
    const std::string out = dir.file("out"), err = dir.file("err");
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, STDOUT_FILENO);
        dup2(e, STDERR_FILENO);
        int rc = body();
        fflush(stdout);
        fflush(stderr);
        _exit(rc);
    }
    captured c;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        c.status = WEXITSTATUS(status);
    c.out = read_text_file(out);
    c.err = read_text_file(err);
    return c;
}

} // namespace

TEST(Logging, SetLogLevelClampsToTheEightLevels) {
    struct {
        int in, stored;
    } cases[] = {{-5, 0}, {-1, 0}, {0, 0}, {3, 3}, {7, 7}, {8, 7}, {12, 7}};
    for (const auto &c : cases) {
        set_log_level(c.in);
        EXPECT_EQ(get_log_level(), c.stored) << c.in;
    }
}

TEST(Logging, LevelNamesAreExactAndCaseSensitive) {
    const char *names[] = {"EMERG",   "ALERT",  "CRITICAL", "ERROR",
                           "WARNING", "NOTICE", "INFO",     "DEBUG"};
    for (int i = 0; i < 8; ++i) {
        EXPECT_STREQ(log_level_name(i), names[i]);
        set_log_level(i == 0 ? 7 : 0);
        set_log_level_from_string(names[i]);
        EXPECT_EQ(get_log_level(), i) << names[i];
    }
    EXPECT_STREQ(log_level_name(8), "UNKNOWN");
    EXPECT_STREQ(log_level_name(-1), "UNKNOWN");
}

TEST(Logging, RefusedLevelNamesLeaveTheThresholdAndSayWhy) {
    captured c = in_child([] {
        logging_init("zonebuild", "stdlog", nullptr);
        set_log_level(4);
        set_log_level_from_string("debug");
        set_log_level_from_string("WARN");
        set_log_level_from_string(nullptr);
        return get_log_level();
    });
    EXPECT_EQ(c.status, 4);
    EXPECT_NE(c.err.find("CRITICAL: logging.cpp:"), std::string::npos) << c.err;
    EXPECT_NE(c.err.find("::set_log_level_from_string(): Invalid log level name: debug\n"),
              std::string::npos)
        << c.err;
    EXPECT_NE(c.err.find("Invalid log level name: WARN\n"), std::string::npos) << c.err;
    EXPECT_NE(c.err.find("Passed a NULL log_level_name.\n"), std::string::npos) << c.err;
    EXPECT_EQ(c.out, "");
}

TEST(Logging, StdlogSendsSevereLinesToStderrAndTheRestToStdout) {
    captured c = in_child([] {
        if (logging_init("zonefeed", "stdlog", nullptr) != 0)
            return 1;
        set_log_level(7);
        for (int level = 0; level <= 7; ++level)
            LOGF(level, "level %d", level);
        return 0;
    });
    ASSERT_EQ(c.status, 0);
    for (int level = 0; level <= 7; ++level) {
        const std::string head = std::string(log_level_name(level)) + ": logging_test.cpp:";
        const std::string tail = "::operator()(): level " + std::to_string(level) + "\n";
        const std::string &stream = level <= LOG_ERR ? c.err : c.out;
        const std::string &other = level <= LOG_ERR ? c.out : c.err;
        EXPECT_NE(stream.find(head), std::string::npos) << level << "\n" << stream;
        EXPECT_NE(stream.find(tail), std::string::npos) << level << "\n" << stream;
        EXPECT_EQ(other.find(tail), std::string::npos) << level;
    }
}

TEST(Logging, TheLineCarriesLevelModuleLineAndFunction) {
    captured c = in_child([] {
        logging_init("zonebuild", "stdlog", nullptr);
        set_log_level(7);
        // clang-format off
        const int line = __LINE__; LOGF(LOG_WARNING, "count=%d name=%s", 3, "x");
        // clang-format on
        printf("|%d", line);
        return 0;
    });
    const std::string line = c.out.substr(c.out.rfind('|') + 1);
    EXPECT_EQ(c.out,
              "WARNING: logging_test.cpp:" + line + "::operator()(): count=3 name=x\n|" + line);
}

TEST(Logging, LinesAboveTheThresholdAreNeitherFormattedNorWritten) {
    temp_dir dir;
    write_text_file(dir.file("zlog.conf"), "[rules]\nzonebuildd.* \"" + dir.file("zlog.out") +
                                               "\"; raw\n[formats]\nraw = \"%m\"\n");
    for (const char *engine : {"stdlog", "zlog", "syslog"}) {
        captured c = in_child([&] {
            const std::string conf = dir.file("zlog.conf");
            const char *data = std::string(engine) == "zlog" ? conf.c_str() : nullptr;
            if (logging_init("zonebuildd", engine, data) != 0)
                return 10;
            set_log_level(LOG_ERR);
            int evaluated = 0;
            LOGF(LOG_WARNING, "warning %d", ++evaluated);
            LOGF(LOG_DEBUG, "debug %d", ++evaluated);
            stdlog_func(LOG_WARNING, "direct %d\n", 1); // the engine tests it too
            logging_shutdown();
            return evaluated;
        });
        EXPECT_EQ(c.status, 0) << engine;
        EXPECT_EQ(c.out + c.err, "") << engine;
    }
    EXPECT_EQ(read_text_file(dir.file("zlog.out")), "");
}

TEST(Logging, UnknownEngineNamesFailAndFallBackToSyslog) {
    for (const char *engine : {"Syslog", "STDLOG", "zlog ", ""}) {
        captured c = in_child([&] {
            int rc = logging_init("zonebuildd", engine, nullptr);
            return rc == -1 && logging_output() == static_cast<log_output_fn>(syslog) ? 0 : 1;
        });
        EXPECT_EQ(c.status, 0) << engine;
        EXPECT_EQ(c.out + c.err, "") << engine; // the complaint went to the system log
    }
}

TEST(Logging, AbsentEngineMeansStdlogAndAbsentNameFails) {
    captured c = in_child([] {
        if (logging_init(nullptr, "stdlog", nullptr) != -1)
            return 1;
        if (logging_init("zonebuild", nullptr, nullptr) != 0)
            return 2;
        return logging_output() == static_cast<log_output_fn>(stdlog_func) ? 0 : 3;
    });
    EXPECT_EQ(c.status, 0);
}

TEST(Logging, ZlogWithoutAUsableConfigurationFallsBackToSyslog) {
    temp_dir dir;
    write_text_file(dir.file("norule.conf"), "[rules]\nsomeoneelse.* >stdout\n");
    write_text_file(dir.file("broken.conf"), "[rules]\nzonebuildd.LOUD >stdout\n");
    const std::string cases[] = {dir.file("missing.conf"), dir.file("norule.conf"),
                                 dir.file("broken.conf"), dir.path()};
    for (const std::string &conf : cases) {
        captured c = in_child([&] {
            if (logging_init("zonebuildd", "zlog", conf.c_str()) != -1)
                return 1;
            if (logging_output() != static_cast<log_output_fn>(syslog))
                return 2;
            set_log_level(7);
            LOGF(LOG_ERR, "still logged"); // reaches the system log, not our streams
            return 0;
        });
        EXPECT_EQ(c.status, 0) << conf;
        EXPECT_EQ(c.out + c.err, "") << conf;
    }
}

TEST(Logging, ZlogWritesLinesThroughTheConfiguredFormat) {
    temp_dir dir;
    write_text_file(dir.file("zlog.conf"),
                    "[formats]\nshort = \"%V|%c|%m\"\n[rules]\nzonebuildd.INFO \"" +
                        dir.file("zonebuildd.log") + "\"; short\n");
    captured c = in_child([&] {
        if (logging_init("zonebuildd", "syslog", nullptr) != 0)
            return 1;
        set_log_level(7);
        if (logging_reinit("zlog", dir.file("zlog.conf").c_str()) != 0)
            return 2;
        LOGF(LOG_ERR, "bad %s", "thing");
        LOGF(LOG_INFO, "fine");
        LOGF(LOG_DEBUG, "below the zlog rule");
        logging_shutdown();
        return logging_output() == static_cast<log_output_fn>(syslog) ? 0 : 3;
    });
    ASSERT_EQ(c.status, 0);
    const std::string log = read_text_file(dir.file("zonebuildd.log"));
    EXPECT_NE(log.find("ERROR|zonebuildd|ERROR: logging_test.cpp:"), std::string::npos) << log;
    EXPECT_NE(log.find("::operator()(): bad thing\n"), std::string::npos) << log;
    EXPECT_NE(log.find("INFO|zonebuildd|INFO: logging_test.cpp:"), std::string::npos) << log;
    EXPECT_EQ(log.find("below the zlog rule"), std::string::npos);
    EXPECT_EQ(c.out + c.err, "");
}

TEST(Logging, ZlogUsesTheDefaultFileInTheConfigurationDirectory) {
    temp_dir dir;
    write_text_file(dir.file("zlog.conf"),
                    "[formats]\nm = \"%m\"\n[rules]\nzonefeedd.* >stdout; m\n");
    captured c = in_child([&] {
        setenv("ZONARIS_ETC_D", dir.path().c_str(), 1);
        if (logging_init("zonefeedd", "zlog", nullptr) != 0)
            return 1;
        set_log_level(7);
        LOGF(LOG_NOTICE, "via etc dir");
        return 0;
    });
    EXPECT_EQ(c.status, 0);
    EXPECT_NE(c.out.find("NOTICE: logging_test.cpp:"), std::string::npos) << c.out;
    EXPECT_NE(c.out.find("(): via etc dir\n"), std::string::npos) << c.out;
}
