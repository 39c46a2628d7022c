// One small zone through the BIND check, as the zone writer runs it: drain, check, drain.
// One process with one memory and log context (bind9_init once); the goal is well under 0.1 ms.
//
// With ZONARIS_BENCH_ZONE_DIR set, also every file of that directory loaded once as the zone
// its file name names: BIND's in-process load of what a restore wrote, the baseline of
// scripts/bench_restore.sh.
#include "check_tool.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

void BM_LoadZoneDirectory(benchmark::State &state, const std::vector<std::string> &files) {
    zones(); // the check state
    for (auto _ : state) {
        for (const std::string &path : files) {
            bind9_consume_log();
            const std::string name = std::filesystem::path(path).filename().string();
            if (bind9_checkzone(name.c_str(), path.c_str()) != 0) {
                state.SkipWithError(("does not load: " + path).c_str());
                return;
            }
        }
    }
    state.counters["zones"] = static_cast<double>(files.size());
}

const bool directory_registered = [] {
    const char *dir = getenv("ZONARIS_BENCH_ZONE_DIR");
    if (!dir || !*dir)
        return false;
    std::vector<std::string> files;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(dir))
        if (entry.is_regular_file())
            files.push_back(entry.path().string());
    benchmark::RegisterBenchmark("BM_LoadZoneDirectory", BM_LoadZoneDirectory, files)
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    return true;
}();

} // namespace

BENCHMARK(BM_CheckSmallValidZone);
BENCHMARK(BM_CheckSmallBrokenZone);
