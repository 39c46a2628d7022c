// SOA serials of generated zones. A zone either carries a serial of its own (its serial
// mode says so) or gets one generated here from the clock and the serial last generated or
// published for it, in one of two forms: "RFC" (local date YYYYMMDD and a two-digit counter)
// or "timestamp" (seconds since the epoch).
//
// A generated serial is always a 32-bit SOA serial that is newer, in serial-number
// arithmetic (RFC 1982), than both the zone's revision and its stored serial: when the
// clock's value would not be, the later of the two plus one is used instead (so the
// hundredth change of a day moves into the next day's numbers rather than back to "00", and
// a serial past the 32-bit top wraps to 1 the way secondaries expect).
//
// Pure computation: no database, no files, no process-wide state.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

struct zone_info;

// The texts of one zone's write.
struct zone_serial {
    std::string timestamp;   // the clock in seconds since the epoch: the zone's revise_time
    std::string date_serial; // the serial in the "RFC" form
    std::string serial;      // the serial to publish and store: the form the format names
};

// 1 when `a` is newer than `b` in RFC 1982 serial arithmetic (32 bits), else 0.
int serial_newer(uint32_t a, uint32_t b);

// A previous serial text as a 32-bit serial: 1 to 10 decimal digits, at most 4294967295.
// -1 when the text is not such a number (empty, letters, too large).
int64_t parse_serial(std::string_view text);

// The serial texts for clock `now`: `previous` is the zone's revision, `stored` its stored
// serial (0 when none). `format` "timestamp" (case ignored) publishes the timestamp form,
// anything else the "RFC" form. The date is the local date of `now`. Always 0.
int compute_serial(std::string_view previous, int64_t stored, std::string_view format, time_t now,
                   zone_serial &out);

// compute_serial for `zone` (revision, stored serial) at the current time. Always 0.
int get_serial(const zone_info &zone, std::string_view format, zone_serial &out);
