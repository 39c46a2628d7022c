// zonefeed's command line and its client lists.
#include "tool_jobs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct parsed {
    int status;
    zonefeed_request request;
};

parsed parse(std::vector<const char *> args) {
    args.insert(args.begin(), "zonefeed");
    parsed p;
    p.status = zonefeed_parse_args(static_cast<int>(args.size()), args.data(), p.request);
    return p;
}

struct mode_case {
    std::vector<const char *> args;
    int status;
    zonefeed_mode mode;
    std::vector<std::string> ids;
};

TEST(ZonefeedArgs, ModesAndTheirRefinement) {
    const mode_case cases[] = {
        {{}, args_ok, zonefeed_mode::check, {}},
        {{"-n"}, args_ok, zonefeed_mode::import, {}},
        {{"--now", "--force"}, args_ok, zonefeed_mode::import_all, {}},
        {{"-n", "-f", "-C", "12"}, args_ok, zonefeed_mode::client_import, {"12"}},
        {{"-f", "-n", "--client", "3  4"}, args_ok, zonefeed_mode::client_import, {"3", "4"}},
        {{"-c"}, args_ok, zonefeed_mode::reread, {}},
        {{"--kill"}, args_ok, zonefeed_mode::stop, {}},
        // --force and --client only refine --now
        {{"-c", "-f", "-C", "1"}, args_ok, zonefeed_mode::reread, {}},
        {{"-h"}, 0, zonefeed_mode::check, {}},
        {{"--version"}, 0, zonefeed_mode::check, {}},
    };
    for (const mode_case &c : cases) {
        parsed p = parse(c.args);
        std::string what;
        for (const char *a : c.args)
            what += std::string(a) + " ";
        EXPECT_EQ(c.status, p.status) << what;
        EXPECT_EQ(c.mode, p.request.mode) << what;
        EXPECT_EQ(c.ids, p.request.client_ids) << what;
    }
}

TEST(ZonefeedArgs, RefusedCommandLines) {
    const std::string too_long(4096, '1');
    const std::vector<std::vector<const char *>> cases = {
        {"-n", "-c"},
        {"-k", "-n"},
        {"-n", "-n"},
        {"-n", "-C", "12"},                    // --client without --force
        {"-n", "-f", "-C", "12;DROP TABLE x"}, // not decimal
        {"-n", "-f", "-C", "1 two"},
        {"-n", "-f", "-C", "-5"},
        {"-n", "-f", "-C", "   "},
        {"-n", "-f", "-C", too_long.c_str()},
        {"-v"},
        {"-q"},
        {"-n", "extra"},
        {"-C"},
    };
    for (const auto &args : cases) {
        parsed p = parse(args);
        EXPECT_EQ(1, p.status) << args.back();
        EXPECT_TRUE(p.request.client_ids.empty()) << args.back();
    }
}

TEST(ClientIds, OnlyDecimalIdsPass) {
    struct {
        const char *text;
        int rc;
        std::vector<std::string> ids;
    } cases[] = {
        {"7", 0, {"7"}},
        {"1 2", 0, {"1", "2"}},
        {"1  2", 0, {"1", "2"}},
        {" 1 2 ", 0, {"1", "2"}},
        {"007 7 8", 0, {"7", "8"}},
        {"4294967295", 0, {"4294967295"}},
        {"4294967296", -1, {}},
        {"", -1, {}},
        {"  ", -1, {}},
        {"1\t2", -1, {}},
        {"1,2", -1, {}},
        {"+1", -1, {}},
        {"1 '); DELETE FROM client; --", -1, {}},
        {"0x10", -1, {}},
    };
    for (const auto &c : cases) {
        std::vector<std::string> ids = {"stale"};
        EXPECT_EQ(c.rc, parse_client_ids(c.text, ids)) << c.text;
        EXPECT_EQ(c.ids, ids) << c.text;
    }
}

} // namespace
