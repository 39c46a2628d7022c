/* The BIND checks: loads a primary zone file with the BIND 9.18 libraries under a fixed set of
 * zone options, or parses and checks a named configuration file, and captures every message
 * the libraries log while doing so.
 * Owns the process's one BIND memory context and log context, and a non-blocking log pipe whose
 * text the caller drains with bind9_consume_log(). Touches nothing else: no network, no other
 * log. Plain C so that C++ can include it; it includes no BIND header (those are C-only).
 *
 * Life cycle: bind9_init() once at start-up, before any worker is forked; each forked worker
 * calls bind9_worker_init() right after the fork to get a capture pipe of its own (a worker that
 * forgets is switched over on its first check or drain); bind9_shutdown() once at exit. BIND's
 * log registration cannot be repeated in one process, so bind9_shutdown() is final: a later
 * bind9_init() in the same process returns -1. Not thread-safe: one thread per process. */
#ifndef ZONARIS_CHECK_TOOL_H
#define ZONARIS_CHECK_TOOL_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Creates the log pipe, the capture buffer, the memory and log contexts. 0, or -1 (nothing is
 * left allocated). A second call while initialised is a no-op returning 0. */
int bind9_init(void);

/* In a process forked after bind9_init(): replaces the inherited (shared) pipe with one of its
 * own, so that this process captures only the messages of its own loads. 0 (also when the pipe
 * is already this process's own), or -1: the process then captures nothing. */
int bind9_worker_init(void);

/* Loads `file_path` as the master file of zone `zone_name` (with or without its final dot),
 * class IN, and releases the zone. Returns the libraries' isc_result_t value: 0 when the zone
 * loads, otherwise the failure code (for example the file's syntax, "CNAME and other data", a
 * name server without address records). ISC_R_FAILURE when not initialised. */
int bind9_checkzone(const char *zone_name, const char *file_path);

/* Reads `conf_text` as named reads its configuration file (libisccfg's named.conf grammar;
 * `include` statements naming files are followed) and checks the result as named-checkconf
 * does (libbind9; no plugins, no zone files loaded). 0 when named would accept it, otherwise
 * the failure code (ISC_R_FAILURE for a refused configuration, the parser's code for a syntax
 * error or an unreadable file). What the parser and the checks logged ("file:line: message")
 * is in the capture. Makes the check state when this process never did (bind9_init). */
int bind9_checkconf(const char *conf_text);

/* The text logged since the previous drain (possibly empty, at most bind9_log_capacity()
 * bytes, NUL-terminated); the pipe is emptied. The buffer stays valid until the next call. */
const char *bind9_consume_log(void);

/* The capture bound: the current pipe's capacity in bytes (0 when not initialised). */
size_t bind9_log_capacity(void);

/* isc_result_totext() of a code returned by bind9_checkzone(). */
const char *bind9_result_totext(int result);

/* Releases everything bind9_init() made. Final for the process (see above). */
void bind9_shutdown(void);

#ifdef __cplusplus
}
#endif

#endif /* ZONARIS_CHECK_TOOL_H */
