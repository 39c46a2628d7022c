// One small zone through the BIND check, as the zone writer runs it: drain, check, drain.
// One process with one memory and log context (bind9_init once); the goal is well under 0.1 ms.
#include "check_tool.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// A temporary directory with one small valid and one small broken zone file.
struct small_zones {
    std::string dir;
    std::string valid;
    std::string broken;

    small_zones() {
        std::string pattern = std::filesystem::temp_directory_path() / "check_tool_bench.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr || bind9_init() != 0) {
            std::abort();
        }
        dir = pattern;
        const std::string head = "$TTL 3600\n@ IN SOA ns1.example.test. hostmaster.example.test. "
                                 "1 3600 900 604800 300\n@ IN NS ns1\nns1 IN A 192.0.2.1\n";
        valid = dir + "/valid.zone";
        std::ofstream(valid) << head << "www IN A 192.0.2.2\n@ IN MX 10 mail.other.invalid.\n";
        broken = dir + "/broken.zone";
        std::ofstream(broken) << head << "www IN CNAME ns1\nwww IN A 192.0.2.9\n";
    }
    ~small_zones() {
        bind9_shutdown();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

const small_zones &zones() {
    static const small_zones instance;
    return instance;
}

void check(benchmark::State &state, const std::string &path, bool loads) {
    for (auto _ : state) {
        bind9_consume_log();
        if ((bind9_checkzone("example.test", path.c_str()) == 0) != loads) {
            state.SkipWithError("unexpected check result");
            break;
        }
        benchmark::DoNotOptimize(bind9_consume_log());
    }
}

void BM_CheckSmallValidZone(benchmark::State &state) {
    check(state, zones().valid, true);
}
void BM_CheckSmallBrokenZone(benchmark::State &state) {
    check(state, zones().broken, false);
}

} // namespace

BENCHMARK(BM_CheckSmallValidZone);
BENCHMARK(BM_CheckSmallBrokenZone);
