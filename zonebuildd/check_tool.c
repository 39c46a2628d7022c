/* The BIND zone check on the BIND 9.18 library API.
 *
 * Differences from the text, which names older calls: 9.18 has no entropy or hash object (the
 * libraries seed themselves), no dns_result_register (libisc knows every result text) and no
 * dns_name_destroy; isc_mem_create and isc_log_create cannot fail (they abort on exhaustion);
 * the DNS_ZONEOPT_* values differ from the text's 0x2b6990, so the options are set by name.
 *
 * Capture: the "pipelog" channel writes to a stdio stream made with fopencookie whose write
 * function writes into the current process's pipe. The stream is unbuffered, so a message is
 * in the pipe as soon as BIND logs it, and a forked child has nothing of its parent's pending.
 * The pipe is non-blocking: when it is full the rest of the text is dropped, never waited for,
 * and the stream is told that everything was written so it never enters an error state. A
 * worker replaces the pipe after the fork (bind9_worker_init); the stream, the channel and the
 * BIND contexts stay as inherited, because the cookie reaches the pipe through this state. */
#define _GNU_SOURCE

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <isc/buffer.h>
#include <isc/log.h>
#include <isc/mem.h>
#include <isc/region.h>
#include <isc/result.h>
#include <isc/util.h>

#include <dns/fixedname.h>
#include <dns/log.h>
#include <dns/masterdump.h>
#include <dns/name.h>
#include <dns/rdataclass.h>
#include <dns/types.h>
#include <dns/zone.h>

#include <isccfg/cfg.h>
#include <isccfg/log.h>
#include <isccfg/namedconf.h>

#include <bind9/check.h>

#include "check_tool.h"

/* The fixed check settings, with their BIND 9.18 names. named applies `check-names primary
 * fail` to the zones it serves: owners of A/AAAA/MX and the host names in SOA/NS/MX data
 * that are not host names ("my_host", a mailbox domain with "_") make it refuse the zone.
 * With CHECKNAMES alone the check would only warn and pass such a zone; CHECKNAMESFAIL gives
 * named's answer. */
static const dns_zoneopt_t zone_options =
    DNS_ZONEOPT_MANYERRORS | DNS_ZONEOPT_CHECKNS | DNS_ZONEOPT_FATALNS | DNS_ZONEOPT_CHECKNAMES |
    DNS_ZONEOPT_CHECKNAMESFAIL | DNS_ZONEOPT_CHECKWILDCARD | DNS_ZONEOPT_CHECKMX |
    DNS_ZONEOPT_CHECKINTEGRITY | DNS_ZONEOPT_CHECKSIBLING | DNS_ZONEOPT_WARNMXCNAME |
    DNS_ZONEOPT_WARNSRVCNAME | DNS_ZONEOPT_CHECKDUPRR | DNS_ZONEOPT_CHECKSPF;
/* named's defaults `max-records-per-type 100` and `max-types-per-name 100`: it refuses to
 * load a zone with a larger RRset or more types at one name. (check-dup-records and
 * check-spf only warn, as in named.) */
enum { named_max_records_per_type = 100, named_max_types_per_name = 100 };
static const char *const dbtype[] = {"rbt"};

/* Registered once per process: the registration links these arrays to the libraries' own
 * arrays in place, which is why BIND's logging cannot be set up a second time. */
static isc_logcategory_t categories[] = {
    {"", 0},          {"client", 0},          {"network", 0},      {"update", 0}, {"queries", 0},
    {"unmatched", 0}, {"update-security", 0}, {"query-errors", 0}, {NULL, 0}};

enum check_phase { NOT_STARTED, RUNNING, SHUT_DOWN };

/* The process-wide check state. */
static struct {
    enum check_phase phase;
    pid_t owner;     /* the process whose pipe read_fd/write_fd are */
    bool forked;     /* set in a child by fork (pthread_atfork): the pipe is not its own */
    int read_fd;     /* bare descriptor, non-blocking, close-on-exec */
    int write_fd;    /* written through `stream` only */
    size_t capacity; /* pipe capacity = capture bound */
    char *capture;   /* capacity + 1 bytes: the text of the last drain */
    FILE *stream;    /* fopencookie stream over write_fd: the channel's destination */
    isc_mem_t *mctx;
    isc_log_t *lctx;
} state = {.phase = NOT_STARTED, .read_fd = -1, .write_fd = -1};

/* ---- the log pipe ---------------------------------------------------------------------- */

static ssize_t pipe_stream_write(void *cookie, const char *buf, size_t size) {
    (void)cookie;
    size_t done = 0;
    while (done < size && state.write_fd >= 0) {
        ssize_t n = write(state.write_fd, buf + done, size - done);
        if (n > 0) {
            done += (size_t)n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break; /* full (EAGAIN): the rest is lost, by design */
        }
    }
    return (ssize_t)size;
}

static void close_pipe(void) {
    if (state.read_fd >= 0) {
        close(state.read_fd);
    }
    if (state.write_fd >= 0) {
        close(state.write_fd);
    }
    state.read_fd = -1;
    state.write_fd = -1;
}

/* Makes a new pipe for this process and sizes the capture buffer to its capacity. */
static int open_pipe(void) {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        return -1;
    }
    int capacity = fcntl(fds[1], F_GETPIPE_SZ);
    char *capture = capacity < 0 ? NULL : realloc(state.capture, (size_t)capacity + 1);
    if (capture == NULL) {
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    capture[0] = '\0';
    state.capture = capture;
    state.capacity = (size_t)capacity;
    state.read_fd = fds[0];
    state.write_fd = fds[1];
    state.owner = getpid();
    return 0;
}

/* A forked worker must never read or write its parent's pipe. The flag is set by fork itself,
 * so the per-check test costs no system call. */
static void note_fork(void) {
    state.forked = true;
}

static void ensure_own_pipe(void) {
    if (state.forked && state.phase == RUNNING) {
        (void)bind9_worker_init();
    }
}

/* ---- BIND set-up --------------------------------------------------------------------- */

static isc_result_t setup_logging(isc_mem_t *mctx, FILE *stream, isc_log_t **logp) {
    isc_log_t *log = NULL;
    isc_logconfig_t *logconfig = NULL;
    isc_logdestination_t destination;

    isc_log_create(mctx, &log, &logconfig);
    isc_log_registercategories(log, categories);
    isc_log_setcontext(log);
    dns_log_init(log);
    dns_log_setcontext(log);
    cfg_log_init(log);

    memset(&destination, 0, sizeof(destination));
    destination.file.stream = stream;
    destination.file.name = NULL;
    destination.file.versions = ISC_LOG_ROLLNEVER;
    destination.file.maximum_size = 0;
    isc_log_createchannel(logconfig, "pipelog", ISC_LOG_TOFILEDESC, ISC_LOG_DYNAMIC, &destination,
                          0);
    RUNTIME_CHECK(isc_log_usechannel(logconfig, "pipelog", NULL, NULL) == ISC_R_SUCCESS);

    *logp = log;
    return ISC_R_SUCCESS;
}

int bind9_init(void) {
    if (state.phase == RUNNING) {
        return 0;
    }
    if (state.phase == SHUT_DOWN) {
        return -1; /* BIND's log registration cannot be repeated in one process */
    }
    if (open_pipe() != 0 || pthread_atfork(NULL, NULL, note_fork) != 0) {
        goto fail;
    }
    static const cookie_io_functions_t pipe_io = {.write = pipe_stream_write};
    state.stream = fopencookie(NULL, "w", pipe_io);
    if (state.stream == NULL || setvbuf(state.stream, NULL, _IONBF, 0) != 0) {
        goto fail;
    }
    isc_mem_create(&state.mctx);
    if (setup_logging(state.mctx, state.stream, &state.lctx) != ISC_R_SUCCESS) {
        goto fail;
    }
    state.phase = RUNNING;
    return 0;

fail:
    if (state.mctx != NULL) {
        isc_mem_destroy(&state.mctx);
    }
    if (state.stream != NULL) {
        fclose(state.stream);
        state.stream = NULL;
    }
    close_pipe();
    free(state.capture);
    state.capture = NULL;
    state.capacity = 0;
    return -1;
}

int bind9_worker_init(void) {
    if (state.phase != RUNNING) {
        return -1;
    }
    if (state.owner == getpid()) {
        state.forked = false;
        return 0;
    }
    close_pipe(); /* the parent's: shared with every other worker */
    state.capture[0] = '\0';
    if (open_pipe() != 0) {
        return -1; /* captures nothing; retried at the next check or drain */
    }
    state.forked = false;
    return 0;
}

void bind9_shutdown(void) {
    if (state.phase != RUNNING) {
        return;
    }
    dns_log_setcontext(NULL);
    isc_log_setcontext(NULL);
    isc_log_destroy(&state.lctx);
    isc_mem_destroy(&state.mctx);
    fclose(state.stream); /* the channel never closes a TOFILEDESC stream itself */
    state.stream = NULL;
    close_pipe();
    free(state.capture);
    state.capture = NULL;
    state.capacity = 0;
    state.phase = SHUT_DOWN;
}

/* ---- one check ----------------------------------------------------------------------- */

/* The address-check callbacks: every name is accepted, so no lookup is ever made. */
static bool checkns(dns_zone_t *zone, const dns_name_t *name, const dns_name_t *owner,
                    dns_rdataset_t *a, dns_rdataset_t *aaaa) {
    (void)zone, (void)name, (void)owner, (void)a, (void)aaaa;
    return true;
}

static bool checkmx(dns_zone_t *zone, const dns_name_t *name, const dns_name_t *owner) {
    (void)zone, (void)name, (void)owner;
    return true;
}

static bool checksrv(dns_zone_t *zone, const dns_name_t *name, const dns_name_t *owner) {
    (void)zone, (void)name, (void)owner;
    return true;
}

static isc_result_t load_zone(isc_mem_t *mctx, const char *zonename, const char *filename,
                              dns_masterformat_t fileformat, const char *classname,
                              dns_zone_t **zonep) {
    isc_result_t result;
    dns_zone_t *zone = NULL;
    isc_buffer_t buffer;
    dns_fixedname_t fixorigin;
    dns_rdataclass_t rdclass;
    isc_textregion_t region;

    CHECK(dns_zone_create(&zone, mctx));
    dns_zone_settype(zone, dns_zone_master);

    isc_buffer_constinit(&buffer, zonename, strlen(zonename));
    isc_buffer_add(&buffer, strlen(zonename));
    dns_name_t *origin = dns_fixedname_initname(&fixorigin);
    CHECK(dns_name_fromtext(origin, &buffer, dns_rootname, 0, NULL));
    CHECK(dns_zone_setorigin(zone, origin));

    dns_zone_setdbtype(zone, 1, dbtype);
    CHECK(dns_zone_setfile(zone, filename, fileformat, &dns_master_style_default));
    DE_CONST(classname, region.base);
    region.length = strlen(classname);
    CHECK(dns_rdataclass_fromtext(&rdclass, &region));
    dns_zone_setclass(zone, rdclass);

    dns_zone_setoption(zone, zone_options, true);
    dns_zone_setoption(zone, DNS_ZONEOPT_NOMERGE, true);
    dns_zone_setmaxrrperset(zone, named_max_records_per_type);
    dns_zone_setmaxtypepername(zone, named_max_types_per_name);
    dns_zone_setcheckns(zone, checkns);
    dns_zone_setcheckmx(zone, checkmx);
    dns_zone_setchecksrv(zone, checksrv);

    CHECK(dns_zone_load(zone, false));
    if (zonep != NULL) {
        *zonep = zone;
        zone = NULL;
    }

cleanup:
    if (zone != NULL) {
        dns_zone_detach(&zone);
    }
    return result;
}

int bind9_checkzone(const char *zone_name, const char *file_path) {
    if (state.phase != RUNNING || zone_name == NULL || file_path == NULL) {
        return ISC_R_FAILURE;
    }
    ensure_own_pipe();
    return (int)load_zone(state.mctx, zone_name, file_path, dns_masterformat_text, "IN", NULL);
}

/* ---- capture ------------------------------------------------------------------------- */

const char *bind9_consume_log(void) {
    if (state.capture == NULL) {
        return "";
    }
    ensure_own_pipe();
    size_t length = 0;
    while (state.read_fd >= 0 && length < state.capacity) {
        ssize_t n = read(state.read_fd, state.capture + length, state.capacity - length);
        if (n > 0) {
            length += (size_t)n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break; /* EAGAIN: the pipe is empty */
        }
    }
    state.capture[length] = '\0';

    char scratch[1024]; /* text beyond the capacity is discarded */
    while (state.read_fd >= 0 && length == state.capacity) {
        ssize_t n = read(state.read_fd, scratch, sizeof(scratch));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
    }
    return state.capture;
}

size_t bind9_log_capacity(void) {
    return state.phase == RUNNING ? state.capacity : 0;
}

const char *bind9_result_totext(int result) {
    return isc_result_totext((isc_result_t)result);
}

/* ---- named's configuration ------------------------------------------------------------ */

int bind9_checkconf(const char *conf_text) {
    if (conf_text == NULL) {
        return ISC_R_FAILURE;
    }
    /* The check runs in the daemon itself; a program that never made the check state (a
     * tool, a test) gets it here. */
    if (state.phase == NOT_STARTED && bind9_init() != 0) {
        return ISC_R_FAILURE;
    }
    if (state.phase != RUNNING) {
        return ISC_R_FAILURE;
    }
    ensure_own_pipe();

    isc_buffer_t buffer;
    const size_t length = strlen(conf_text);
    isc_buffer_constinit(&buffer, conf_text, length);
    isc_buffer_add(&buffer, length);

    cfg_parser_t *parser = NULL;
    cfg_obj_t *config = NULL;
    isc_result_t result = cfg_parser_create(state.mctx, state.lctx, &parser);
    if (result == ISC_R_SUCCESS) {
        result =
            cfg_parse_buffer(parser, &buffer, "named-check", 1, &cfg_type_namedconf, 0, &config);
    }
    if (result == ISC_R_SUCCESS) {
        /* As named-checkconf without -z: no plugins loaded, deprecation warnings kept. */
        result = bind9_check_namedconf(config, false, false, state.lctx, state.mctx);
    }
    if (config != NULL) {
        cfg_obj_destroy(parser, &config);
    }
    if (parser != NULL) {
        cfg_parser_destroy(&parser);
    }
    return (int)result;
}
