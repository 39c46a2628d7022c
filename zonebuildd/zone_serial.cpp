#include "zone_serial.h"

#include <cstdio>
#include <strings.h>

#include "zone_model.h"

namespace {

constexpr int64_t serial_max = 0xffffffffLL;

// The serial after `s`: one more, wrapping past the 32-bit top to 1 (0 would read as "no
// serial" wherever the serial is stored).
uint32_t next_serial(uint32_t s) {
    return s == 0xffffffffu ? 1u : s + 1u;
}

// The later of two serials in serial arithmetic; `a` when neither is later.
uint32_t later_serial(uint32_t a, uint32_t b) {
    return serial_newer(b, a) ? b : a;
}

// `candidate` when it is a serial newer than `previous` (or there is no previous serial),
// else the serial after `previous`.
uint32_t move_past(int64_t candidate, int64_t previous) {
    if (previous < 0)
        return candidate >= 1 && candidate <= serial_max ? static_cast<uint32_t>(candidate) : 1u;
    const uint32_t prev = static_cast<uint32_t>(previous);
    if (candidate >= 1 && candidate <= serial_max &&
        serial_newer(static_cast<uint32_t>(candidate), prev))
        return static_cast<uint32_t>(candidate);
    return next_serial(prev);
}

} // namespace

int serial_newer(uint32_t a, uint32_t b) {
    // RFC 1982: a > b when the distance from b to a is positive and below 2^31.
    const uint32_t distance = a - b;
    return distance != 0 && distance < 0x80000000u ? 1 : 0;
}

int64_t parse_serial(std::string_view text) {
    if (text.empty() || text.size() > 10)
        return -1;
    int64_t v = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9')
            return -1;
        v = v * 10 + (ch - '0');
    }
    return v <= serial_max ? v : -1;
}

int compute_serial(std::string_view previous, int64_t stored, std::string_view format, time_t now,
                   zone_serial &out) {
    char buf[32];
    snprintf(buf, sizeof buf, "%lld", static_cast<long long>(now));
    out.timestamp = buf;

    // The previous serial: the later of the last generated one (the revision) and the one
    // last stored for the zone; -1 when there is neither.
    int64_t prev = parse_serial(previous);
    if (stored > 0 && stored <= serial_max)
        prev = prev < 0 ? stored
                        : later_serial(static_cast<uint32_t>(prev), static_cast<uint32_t>(stored));

    struct tm local {};
    localtime_r(&now, &local);
    const int64_t today =
        (local.tm_year + 1900LL) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
    const uint32_t date = move_past(today * 100 + 1, prev);
    snprintf(buf, sizeof buf, "%u", date);
    out.date_serial = buf;

    if (format.size() == 9 && strncasecmp(format.data(), "timestamp", 9) == 0) {
        snprintf(buf, sizeof buf, "%u", move_past(static_cast<int64_t>(now), prev));
        out.serial = buf;
    } else {
        out.serial = out.date_serial;
    }
    return 0;
}

int get_serial(const zone_info &zone, std::string_view format, zone_serial &out) {
    return compute_serial(zone.revision, zone.stored_serial, format, time(nullptr), out);
}
