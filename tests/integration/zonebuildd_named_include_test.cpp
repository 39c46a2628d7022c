// The include file, the ACL file and the reload against a private named: what the name
// server serves and transfers after our files were installed and `rndc reload` ran.
#include "named_conf.h"

#include "dns_common.h"
#include "mariadb_fixture.h"
#include "named_fixture.h"
#include "run_program.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

const char *const entry_template = "zone \"[zone_name]\" {\n\ttype [zone_type];\n"
                                   "\tfile \"[zone_file_name]\";\n\t[zone_options];\n};";

std::string zone_text(const std::string &zone, const std::string &serial, const std::string &www) {
    return "$TTL 300\n@ IN SOA ns1." + zone + ". hostmaster." + zone + ". ( " + serial +
           " 3600 600 86400 300 )\n@ IN NS ns1." + zone + ".\nns1 IN A 192.0.2.53\nwww IN A " +
           www + "\n";
}

// One job's worth of include work, as the daemon does it: the kept part of the live file,
// one worker's chunk of new entries (and of previous entries of skipped zones), the merge,
// the installation and the reload.
struct include_job {
    named_server &server;
    named_ctx ctx;
    std::string tmpl = entry_template;
    temp_dir work{"zonaris-work"};

    explicit include_job(named_server &s, sql_conn *db = nullptr) : server(s) {
        ctx.db = db;
        ctx.event_level = 7;
        for (const auto &[key, value] : s.config()) {
            if (key == "NAMED_D")
                ctx.paths.named_root = value;
            else if (key == "NAMED_FILE")
                ctx.paths.include_file = value;
            else if (key == "NAMED_ACL_FILE")
                ctx.paths.acl_file = value;
            else if (key == "MASTER_D")
                ctx.paths.master_dir = value;
            else if (key == "SECONDARY_D")
                ctx.paths.secondary_dir = value;
            else if (key == "RNDC_BIN_D")
                ctx.paths.rndc_dir = value;
        }
        ctx.paths.include_base = path_base_name(ctx.paths.include_file);
        ctx.paths.acl_base = path_base_name(ctx.paths.acl_file);
        ctx.paths.temp_dir = work.path();
        ctx.paths.work_name = "tmp_1";
        work.make_subdir("tmp_1");
    }

    letter_dir_fn letters() const {
        return [this](const std::string &file, int type) -> std::optional<std::string> {
            const std::string letter(1, file[0]);
            const std::string dir = ctx.paths.named_root +
                                    (type == 1 ? ctx.paths.master_dir : ctx.paths.secondary_dir) +
                                    "/" + letter;
            std::filesystem::create_directories(dir);
            return letter;
        };
    }

    // Installs a primary zone's file where the entry points.
    void put_zone_file(const std::string &zone, const std::string &serial,
                       const std::string &www) const {
        const std::string dir =
            ctx.paths.named_root + ctx.paths.master_dir + "/" + std::string(1, zone[0]);
        std::filesystem::create_directories(dir);
        write_text_file(dir + "/" + zone, zone_text(zone, serial, www));
    }

    struct written {
        std::string zone;
        zone_entry entry;
    };

    // changed: the job's change set (names with their final dots); fresh: the zones whose
    // entries are generated; skipped: changed zones that keep their previous statement.
    int run(const std::set<std::string> &changed, const std::vector<written> &fresh,
            const std::set<std::string> &skipped = {}) {
        const std::string live = live_include_path(ctx.paths);
        FILE *in = fopen(live.c_str(), "r");
        FILE *out = fopen(work_include_path(ctx.paths).c_str(), "w+");
        include_scan scan{in, out, 1};
        int rc = manage_namedconf(
            scan, [&](const std::string &name) { return changed.count(name) > 0; }, ctx);
        const std::string chunk_path = work.file("tmp_1/1_chunk_0");
        FILE *chunk = fopen(chunk_path.c_str(), "w+");
        if (rc == 0)
            rc = chunk_begin(chunk);
        int count = 0;
        for (const written &w : fresh) {
            if (rc == 0 &&
                generate_zone_entry(chunk, w.zone, w.zone, w.entry, tmpl, letters(), ctx) == 0)
                ++count;
        }
        for (const std::string &name : skipped) {
            if (rc == 0 && copy_zone_entry(live, name, chunk, ctx) < 0)
                rc = -1;
        }
        if (rc == 0)
            rc = chunk_finish(chunk, count);
        rewind(chunk);
        if (rc == 0 && merge_namedconf({chunk}, out, ctx) != count)
            rc = -1;
        fclose(chunk);
        if (fclose(out) != 0)
            rc = -1;
        if (in)
            fclose(in);
        if (rc == 0)
            rc = install_namedconf(ctx);
        return rc;
    }
};

program_result axfr(const named_server &server, const std::string &zone) {
    return run_program("/usr/bin/dig", {"+time=2", "+tries=1", "@127.0.0.1", "-p",
                                        std::to_string(server.port), zone, "AXFR"});
}

bool transfer_allowed(const named_server &server, const std::string &zone) {
    program_result r = axfr(server, zone);
    return r.out.find("www." + zone + ".") != std::string::npos;
}

bool transfer_refused(const named_server &server, const std::string &zone) {
    program_result r = axfr(server, zone);
    return r.out.find("Transfer failed") != std::string::npos &&
           r.out.find("www." + zone + ".") == std::string::npos;
}

TEST(NamedInclude, InstalledIncludeFileIsServedAfterTheReload) {
    _init_global_str();
    named_server server;
    ASSERT_TRUE(server.start()) << server.log();
    include_job job(server);
    for (const char *zone : {"alpha.example", "beta.example", "gamma.example"})
        job.put_zone_file(zone, "1", "192.0.2.10");

    // a restore: no live statements, every zone new
    ASSERT_EQ(0, job.run({}, {{"alpha.example", make_zone_entry(1, {"A192.0.2.200"})},
                              {"beta.example", make_zone_entry(1, {})},
                              {"gamma.example", make_zone_entry(1, {})}}));
    ASSERT_EQ(0, reload_named(job.ctx));
    for (const char *zone : {"alpha.example", "beta.example", "gamma.example"})
        EXPECT_TRUE(server.wait_for_serial(zone, "1")) << zone << server.log();
    EXPECT_EQ(std::vector<std::string>{"192.0.2.10"}, server.dig("www.alpha.example", "A"));

    // the next job: alpha changed, gamma deleted, beta changed but skipped (its file failed
    // the check): beta keeps its statement and is still served, gamma goes
    job.put_zone_file("alpha.example", "2", "192.0.2.20");
    ASSERT_EQ(0, job.run({"alpha.example.", "beta.example.", "gamma.example."},
                         {{"alpha.example", make_zone_entry(1, {})}}, {"beta.example."}));
    const std::string include = read_text_file(live_include_path(job.ctx.paths));
    EXPECT_NE(std::string::npos, include.find("zone \"beta.example\""));
    EXPECT_EQ(std::string::npos, include.find("gamma.example"));
    ASSERT_EQ(0, reload_named(job.ctx));
    EXPECT_TRUE(server.wait_for_serial("alpha.example", "2")) << server.log();
    EXPECT_TRUE(wait_until([&] { return !server.soa_serial("gamma.example"); }, 30));
    EXPECT_EQ(std::vector<std::string>{"192.0.2.20"}, server.dig("www.alpha.example", "A"));
    EXPECT_EQ(std::optional<std::string>("1"), server.soa_serial("beta.example"));
}

TEST(NamedInclude, AclFileLimitsZoneTransfers) {
    _init_global_str();
    named_server server;
    ASSERT_TRUE(server.start()) << server.log();
    include_job job(server);
    job.put_zone_file("xfr.example", "5", "192.0.2.5");
    ASSERT_EQ(0, job.run({}, {{"xfr.example", make_zone_entry(1, {})}}));

    // only the global list decides, and it is empty
    ASSERT_EQ(0, restore_acl({}, job.ctx));
    ASSERT_EQ(0, reload_named(job.ctx));
    ASSERT_TRUE(server.wait_for_serial("xfr.example", "5")) << server.log();
    EXPECT_TRUE(transfer_refused(server, "xfr.example")) << axfr(server, "xfr.example").out;

    ASSERT_EQ(0, restore_acl({"127.0.0.1"}, job.ctx));
    ASSERT_EQ(0, reload_named(job.ctx));
    EXPECT_TRUE(wait_until([&] { return transfer_allowed(server, "xfr.example"); }, 30))
        << server.log();

    // an address of another network does not open it
    ASSERT_EQ(0, restore_acl({"198.51.100.0/24"}, job.ctx));
    ASSERT_EQ(0, reload_named(job.ctx));
    EXPECT_TRUE(wait_until([&] { return transfer_refused(server, "xfr.example"); }, 30));

    // the zone's own allow-transfer address opens it with an empty global list
    ASSERT_EQ(0, job.run({"xfr.example."}, {{"xfr.example", make_zone_entry(1, {"A127.0.0.1"})}}));
    ASSERT_EQ(0, reload_named(job.ctx));
    EXPECT_TRUE(wait_until([&] { return transfer_allowed(server, "xfr.example"); }, 30));
}

TEST(NamedInclude, SecondaryStatementTransfersFromThePrimary) {
    _init_global_str();
    named_server primary;
    ASSERT_TRUE(primary.start()) << primary.log();
    include_job prim(primary);
    prim.put_zone_file("sec.example", "42", "192.0.2.42");
    ASSERT_EQ(0, prim.run({}, {{"sec.example", make_zone_entry(1, {"A127.0.0.1"})}}));
    ASSERT_EQ(0, reload_named(prim.ctx));
    ASSERT_TRUE(primary.wait_for_serial("sec.example", "42")) << primary.log();

    // the secondary talks to primaries on the primary's port
    named_options opts;
    opts.extra_options = "port " + std::to_string(primary.port) + ";";
    named_server secondary(opts);
    ASSERT_TRUE(secondary.start()) << secondary.log();
    include_job sec(secondary);
    ASSERT_EQ(0, sec.run({}, {{"sec.example", make_zone_entry(2, {"M127.0.0.1"})}}));
    EXPECT_NE(
        std::string::npos,
        read_text_file(live_include_path(sec.ctx.paths)).find("file \"slaves/s/sec.example\""));
    ASSERT_EQ(0, reload_named(sec.ctx));
    EXPECT_TRUE(secondary.wait_for_serial("sec.example", "42")) << secondary.log();
    EXPECT_EQ(std::vector<std::string>{"192.0.2.42"}, secondary.dig("www.sec.example", "A"));
    EXPECT_TRUE(
        wait_until([&] { return path_exists(secondary.secondary_dir + "/s/sec.example"); }, 30));
}

TEST(NamedInclude, ReloadFailureIsReportedAndTheNextReloadWorks) {
    _init_global_str();
    test_database db = make_test_database();
    sql_handle conn = db.connect();
    ASSERT_TRUE(conn);
    named_server server;
    include_job job(server, conn.get());
    ASSERT_EQ(0, restore_acl({}, job.ctx)); // as every job does before the include file
    job.put_zone_file("later.example", "9", "192.0.2.9");
    ASSERT_EQ(0, job.run({}, {{"later.example", make_zone_entry(1, {})}}));

    // named is not running yet: the reload fails and says so
    EXPECT_EQ(-1, reload_named(job.ctx));
    ASSERT_TRUE(server.start()) << server.log();
    EXPECT_EQ(0, reload_named(job.ctx));
    EXPECT_TRUE(server.wait_for_serial("later.example", "9")) << server.log();

    sql_rows rows = db.rows("SELECT level, info_code, info FROM logs WHERE facility = "
                            "'ZONEBUILD' AND message = 'Named restart attempt' ORDER BY id");
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ("3", rows[0][0].value_or(""));
    EXPECT_EQ("ER02", rows[0][1].value_or(""));
    EXPECT_EQ(0u, rows[0][2].value_or("").rfind("fail|", 0)) << rows[0][2].value_or("");
    EXPECT_NE("fail|0", rows[0][2].value_or(""));
    EXPECT_EQ((std::vector<std::optional<std::string>>{"5", "ER02", "ok|0"}), rows[1]);
}

} // namespace
