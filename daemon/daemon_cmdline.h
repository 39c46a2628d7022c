// The command line every job daemon shares: -X|--nodetach to stay in the foreground,
// -V|--version and -h|--help to print a text and end.
//
// Owns nothing; writes the version, the help and a refusal to the standard streams.
#pragma once

struct daemon_cmdline {
    const char *name;         // for popt's messages: "zonebuildd"
    const char *version_line; // printed by -V, newline included
    const char *usage;        // printed by -h
};

// Reads the options. -1 when the daemon goes on (with `no_detach` set from -X); otherwise
// the exit status the daemon ends with at once: 0 after -V or -h, 1 after an unknown
// option (its name and popt's reason on stderr).
[[nodiscard]] int parse_daemon_cmdline(const daemon_cmdline &cmd, int argc, char **argv,
                                       bool &no_detach);
