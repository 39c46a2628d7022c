#include "daemon_cmdline.h"

#include <cstdio>
#include <popt.h>

int parse_daemon_cmdline(const daemon_cmdline &cmd, int argc, char **argv, bool &no_detach) {
    int detach_off = 0;
    const poptOption options[] = {
        {"nodetach", 'X', POPT_ARG_NONE, &detach_off, 0, nullptr, nullptr},
        {"version", 'V', POPT_ARG_NONE, nullptr, 'V', nullptr, nullptr},
        {"help", 'h', POPT_ARG_NONE, nullptr, 'h', nullptr, nullptr},
        POPT_TABLEEND};
    poptContext ctx = poptGetContext(cmd.name, argc, const_cast<const char **>(argv), options, 0);
    const int rc = poptGetNextOpt(ctx);
    int exit_now = -1;
    if (rc == 'V') {
        fputs(cmd.version_line, stdout);
        exit_now = 0;
    } else if (rc == 'h') {
        fputs(cmd.usage, stdout);
        exit_now = 0;
    } else if (rc < -1) {
        fprintf(stderr, "%s: %s\n", poptBadOption(ctx, POPT_BADOPTION_NOALIAS), poptStrerror(rc));
        exit_now = 1;
    }
    poptFreeContext(ctx);
    no_detach = detach_off != 0;
    return exit_now;
}
