// zonebuildd's state set up in this process, for tests that run its jobs by calling them:
// the settings of a stand-in name-server tree (no named; the caller writes its rndc) and the
// daemon's start-up from a zonaris.conf.
#pragma once

#include "zonebuildd.h"

#include "etc_fixture.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

// Makes the directories of a name-server tree below `tree` with an empty include file and
// returns its settings, with two workers.
inline config_pairs stand_in_named_keys(const temp_dir &tree) {
    tree.make_subdir("named/etc");
    tree.make_subdir("named/var/named/slaves");
    tree.make_subdir("rndc");
    write_text_file(tree.file("named/etc/zonaris.include"), "");
    return {{"NAMED_D", tree.file("named")},       {"NAMED_FILE", "etc/zonaris.include"},
            {"NAMED_ACL_FILE", "etc/zonaris.acl"}, {"MASTER_D", "var/named"},
            {"SECONDARY_D", "var/named/slaves"},   {"RNDC_BIN_D", tree.file("rndc")},
            {"TEMP_D", tree.file("tmp")},          {"ZONEBUILD_PID_FILE", tree.file("zb.pid")},
            {"ZONEBUILD_CONCURRENCY_LIMIT", "2"}};
}

// Writes `keys` to `etc`'s zonaris.conf and starts `st` from it as zonebuildd -X does,
// without detaching; its job queue is open.
inline void init_in_process(zonebuildd_state &st, const test_etc_dir &etc,
                            const config_pairs &keys) {
    etc.write_conf(keys);
    st.no_detach = 1;
    st.run_type = 1;
    st.config_path = etc.file("zonaris.conf");
    testing::internal::CaptureStdout();
    const int rc = zonebuildd_init(st, 1);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(0, rc);
    ASSERT_EQ(0, st.queue.open());
}
