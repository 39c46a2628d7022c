// zonebuild's command line.
#include "tool_jobs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

int parse(std::vector<const char *> args, zonebuild_mode &mode) {
    args.insert(args.begin(), "zonebuild");
    return zonebuild_parse_args(static_cast<int>(args.size()), args.data(), mode);
}

TEST(ZonebuildArgs, OneModeAtMost) {
    struct {
        std::vector<const char *> args;
        int status;
        zonebuild_mode mode;
    } cases[] = {
        {{}, args_ok, zonebuild_mode::check},
        {{"-n"}, args_ok, zonebuild_mode::changes},
        {{"--restore"}, args_ok, zonebuild_mode::restore},
        {{"-a"}, args_ok, zonebuild_mode::write_acl},
        {{"--config"}, args_ok, zonebuild_mode::reread},
        {{"-k"}, args_ok, zonebuild_mode::stop},
        {{"-h"}, 0, zonebuild_mode::check},
        {{"-V"}, 0, zonebuild_mode::check},
        {{"-n", "-r"}, 1, zonebuild_mode::changes},
        {{"-a", "-n"}, 1, zonebuild_mode::write_acl},
        {{"-k", "-k"}, 1, zonebuild_mode::stop},
        {{"-f"}, 1, zonebuild_mode::check},
        {{"now"}, 1, zonebuild_mode::check},
    };
    for (const auto &c : cases) {
        zonebuild_mode mode = zonebuild_mode::check;
        std::string what;
        for (const char *a : c.args)
            what += std::string(a) + " ";
        EXPECT_EQ(c.status, parse(c.args, mode)) << what;
        EXPECT_EQ(c.mode, mode) << what;
    }
}

} // namespace
