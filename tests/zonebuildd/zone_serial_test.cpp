// Generated SOA serials: both forms, the day roll-over, the counter past 99, the 32-bit top,
// and that whatever the previous serial, the new one is a serial BIND takes as newer.
#include "zone_model.h"
#include "zone_serial.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

// Dates are local: pin the time zone so the expectations hold everywhere.
class zone_serial_test : public ::testing::Test {
  protected:
    void SetUp() override {
        const char *tz = getenv("TZ");
        saved_ = tz ? std::optional<std::string>(tz) : std::nullopt;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        if (saved_)
            setenv("TZ", saved_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    std::optional<std::string> saved_;
};

time_t utc(int year, int month, int day, int hour = 12) {
    struct tm t {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    return timegm(&t);
}

const time_t june15 = utc(2024, 6, 15);

TEST(serial_arithmetic, newer_follows_rfc1982) {
    struct {
        uint32_t a, b;
        int newer;
    } cases[] = {
        {2, 1, 1},
        {1, 2, 0},
        {7, 7, 0},
        {0, 0xffffffffu, 1},
        {1, 0xffffffffu, 1},
        {0xffffffffu, 1, 0},
        {0x7fffffffu, 0, 1},
        {0x80000000u, 0, 0}, // exactly half the space apart: undefined
        {2024061501u, 1718452800u, 1},
        {1718452800u, 2024061501u, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(serial_newer(c.a, c.b), c.newer) << c.a << " vs " << c.b;
}

TEST(serial_arithmetic, parse_accepts_only_32_bit_decimal) {
    struct {
        const char *text;
        int64_t value;
    } cases[] = {{"2024061503", 2024061503},
                 {"0", 0},
                 {"4294967295", 4294967295LL},
                 {"4294967296", -1},
                 {"99999999999", -1},
                 {"", -1},
                 {"abc", -1},
                 {"20240615ab", -1},
                 {" 1", -1},
                 {"-5", -1}};
    for (const auto &c : cases)
        EXPECT_EQ(parse_serial(c.text), c.value) << c.text;
}

TEST_F(zone_serial_test, rfc_form_from_the_previous_serial) {
    struct {
        const char *previous;
        int64_t stored;
        time_t now;
        const char *expected;
    } cases[] = {
        {"", 0, june15, "2024061501"},
        {"2024061503", 0, june15, "2024061504"},
        {"2024061405", 0, june15, "2024061501"}, // yesterday: the day starts again
        {"2024061599", 0, june15, "2024061600"}, // 100th change: on past "99", never back
        {"2024061600", 0, june15, "2024061601"}, // and onwards the same day
        {"2027010105", 0, june15, "2027010106"}, // a date ahead is never undercut
        {"abc", 0, june15, "2024061501"},
        {"20240615", 0, june15, "2024061501"},    // date without counter
        {"1718000000", 0, june15, "2024061501"},  // previous serial in the timestamp form
        {"99999999999", 0, june15, "2024061501"}, // not a serial at all
        {"", 2030010100, june15, "2030010101"},   // stored (published) serial ahead
        {"2024061507", 2024061503, june15, "2024061508"},
        {"2024061503", 2024061507, june15, "2024061508"},
        {"4294967295", 0, june15, "2024061501"}, // newer across the wrap already
        {"4294967295", 0, utc(2150, 1, 1), "1"}, // at the top, wrapping past 0 to 1
        {"4294967294", 0, utc(2150, 1, 1), "4294967295"},
        {"2024123199", 0, utc(2025, 1, 1), "2025010101"},
    };
    for (const auto &c : cases) {
        zone_serial s;
        EXPECT_EQ(compute_serial(c.previous, c.stored, "RFC", c.now, s), 0);
        EXPECT_EQ(s.serial, c.expected) << "previous " << c.previous << " stored " << c.stored;
        EXPECT_EQ(s.date_serial, s.serial);
        EXPECT_EQ(s.timestamp, std::to_string(c.now));
    }
}

TEST_F(zone_serial_test, timestamp_form) {
    struct {
        const char *format;
        const char *previous;
        const char *expected;
    } cases[] = {
        {"timestamp", "", "1718452800"},
        {"timestamp", "1718452700", "1718452800"},
        {"timestamp", "1718452800", "1718452801"}, // two writes in one second
        {"Timestamp", "", "1718452800"},
        // A date serial from before the switch is still newer than the clock: move past it.
        {"timestamp", "2024061503", "2024061504"},
        {"RFC", "", "2024061501"},
        {"weekly", "", "2024061501"},
    };
    for (const auto &c : cases) {
        zone_serial s;
        compute_serial(c.previous, 0, c.format, june15, s);
        EXPECT_EQ(s.serial, c.expected) << c.format << " after " << c.previous;
        EXPECT_EQ(s.timestamp, "1718452800");
    }
    zone_serial s;
    compute_serial("", 0, "timestamp", june15, s);
    EXPECT_EQ(s.date_serial, "2024061501");
}

// Many changes of one zone on one day: every serial is newer than the one before, valid,
// and the day after starts from the date again once that is newer.
TEST_F(zone_serial_test, many_changes_in_one_day_keep_increasing) {
    std::string previous;
    uint32_t last = 0;
    for (int i = 0; i < 150; ++i) {
        zone_serial s;
        compute_serial(previous, 0, "RFC", june15 + i, s);
        const int64_t v = parse_serial(s.serial);
        ASSERT_GT(v, 0) << s.serial;
        if (i > 0) {
            ASSERT_TRUE(serial_newer(static_cast<uint32_t>(v), last))
                << s.serial << " after " << last;
        }
        last = static_cast<uint32_t>(v);
        previous = s.serial;
    }
    EXPECT_EQ(previous, "2024061650");
    zone_serial s;
    compute_serial(previous, 0, "RFC", utc(2024, 6, 17), s);
    EXPECT_EQ(s.serial, "2024061701");
}

// Whatever the previous serial, the new one is a valid serial (1 .. 2^32-1, plain digits)
// and newer than it.
TEST_F(zone_serial_test, always_newer_than_any_previous_serial) {
    const uint32_t previous[] = {1u,          2024061501u, 2024061599u, 2147483647u, 2147483648u,
                                 3000000000u, 4294967294u, 4294967295u, 1718452800u, 4024061501u};
    const time_t nows[] = {june15, utc(2106, 2, 1), utc(2150, 1, 1), utc(1999, 12, 31)};
    for (const char *format : {"RFC", "timestamp"}) {
        for (time_t now : nows) {
            for (uint32_t p : previous) {
                zone_serial s;
                compute_serial(std::to_string(p), 0, format, now, s);
                const int64_t v = parse_serial(s.serial);
                ASSERT_GE(v, 1) << format << " " << p << " -> " << s.serial;
                EXPECT_TRUE(serial_newer(static_cast<uint32_t>(v), p))
                    << format << " at " << now << ": " << s.serial << " after " << p;
                // the stored serial is honoured the same way
                compute_serial("", p, format, now, s);
                EXPECT_TRUE(serial_newer(static_cast<uint32_t>(parse_serial(s.serial)), p));
            }
        }
    }
}

} // namespace
