// The configuration check a job runs before it installs the include file: the ACL file and an
// include file of N zone statements (the usual template) read by BIND's parser and checked as
// named-checkconf checks them, in process. Baseline: named-checkconf itself on the same files
// (a process per check, as an external check would cost).
#include "named_conf_check.h"

#include "check_tool.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace {

struct conf_files {
    std::string dir, acl, include, wrapper;
};

// One directory per zone count, made once.
const conf_files &files(int zones) {
    static std::map<int, conf_files> made;
    auto it = made.find(zones);
    if (it != made.end())
        return it->second;
    conf_files f;
    std::string pattern = std::filesystem::temp_directory_path() / "conf_check_bench.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr || bind9_init() != 0)
        std::abort();
    f.dir = pattern;
    f.acl = f.dir + "/zonaris.acl";
    f.include = f.dir + "/zonaris.include";
    f.wrapper = f.dir + "/named.conf";
    std::ofstream(f.acl) << "acl common-allow-transfer {\n\t192.0.2.1;\n\t192.0.2.2;\n};\n";
    std::ofstream include(f.include);
    for (int i = 0; i < zones; ++i) {
        const std::string name = "zone" + std::to_string(i) + ".example";
        include << "zone \"" << name << "\" {\n\ttype master;\n\tfile \"z/" << name
                << "\";\n\tallow-transfer {\n\t\t198.51.100.7;\n\t\tcommon-allow-transfer;\n\t};"
                   "\n};\n";
    }
    include.close();
    std::ofstream(f.wrapper) << "include \"" << f.acl << "\";\ninclude \"" << f.include << "\";\n";
    return made.emplace(zones, f).first->second;
}

void BM_InProcessCheck(benchmark::State &state) {
    const conf_files &f = files(static_cast<int>(state.range(0)));
    std::string problem;
    for (auto _ : state) {
        if (check_named_files(f.acl, f.include, problem) != 0)
            state.SkipWithError(problem.c_str());
    }
}
BENCHMARK(BM_InProcessCheck)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_NamedCheckconf(benchmark::State &state) {
    const conf_files &f = files(static_cast<int>(state.range(0)));
    const std::string command = "/usr/bin/named-checkconf " + f.wrapper + " >/dev/null 2>&1";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0)
            state.SkipWithError("named-checkconf refused the files");
    }
}
BENCHMARK(BM_NamedCheckconf)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
