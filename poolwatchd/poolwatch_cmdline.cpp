#include "poolwatch_cmdline.h"

#include "config.h"
#include "pid_file.h"
#include "poolwatch_config.h"
#include "poolwatch_state.h"
#include "zonaris_version.h"

#include <csignal>
#include <cstdio>
#include <memory>
#include <popt.h>
#include <unistd.h>

namespace {

struct popt_context_deleter {
    void operator()(poptContext ctx) const { poptFreeContext(ctx); }
};

} // namespace

int poolwatch_parse_cmdline(int argc, const char **argv, cmdline_options &opts) {
    int readconfig = 0, version = 0, nodetach = 0;
    struct poptOption options[] = {
        {"readconfig", 'c', POPT_ARG_NONE, &readconfig, 0, "Read configuration file", nullptr},
        {"version", 'V', POPT_ARG_NONE, &version, 0, "Show current version", nullptr},
        {"nodetach", 'X', POPT_ARG_NONE, &nodetach, 0, "Do not detach from console", nullptr},
        POPT_AUTOHELP POPT_TABLEEND};
    std::unique_ptr<poptContext_s, popt_context_deleter> ctx(
        poptGetContext("poolwatchd", argc, argv, options, 0));

    if (argc > 2) {
        fprintf(stderr, "Too many arguments.\n");
        poptPrintUsage(ctx.get(), stderr, 0);
        return EXIT_TOO_MANY_ARGS;
    }
    int rc;
    while ((rc = poptGetNextOpt(ctx.get())) > 0) {
    }
    if (rc < -1 || poptGetArg(ctx.get()) != nullptr) {
        fprintf(stderr, "Unknown option.\n");
        poptPrintUsage(ctx.get(), stderr, 0);
        return EXIT_UNKNOWN_OPTION;
    }
    if (version) {
        fputs("Kestrin Zonaris: poolwatchd: version " ZONARIS_VERSION "\n", stdout);
        return EXIT_OK;
    }
    opts.readconfig = readconfig != 0;
    opts.nodetach = nodetach != 0;
    return -1;
}

int poolwatch_send_sighup() {
    poolwatch_config cfg;
    // Without a readable file, the default pid file is the one to look at.
    (void)poolwatch_read_pid_config(etc_file("zonaris.conf"), cfg);
    if (access(cfg.base.pid_file.c_str(), R_OK) != 0) {
        fprintf(stderr, "Cannot open file:%s for reading\n", cfg.base.pid_file.c_str());
        return EXIT_PID_FILE;
    }
    // Only the process that holds the pid file's lock is signalled.
    pid_t pid = 0;
    switch (signal_daemon(cfg.base.pid_file, SIGHUP, pid)) {
    case SIGNAL_SENT:
        return EXIT_OK;
    case SIGNAL_FAILED:
        fprintf(stderr, "'poolwatcd' daemon is stopped\n");
        return EXIT_NOT_RUNNING;
    case SIGNAL_NOT_RUNNING:
    case SIGNAL_UNKNOWN:
        break;
    }
    fprintf(stderr, "'poolwatchd' daemon is stopped\n");
    return EXIT_NOT_RUNNING;
}
