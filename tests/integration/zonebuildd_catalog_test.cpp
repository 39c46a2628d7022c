// The catalog zone end to end: a primary named fed by zonebuildd, a secondary configured only
// with `catalog-zones`, and dig asking the secondary what it learned.
#include "catalog_zone.h"

#include "catalog_fixture.h"

#include <gtest/gtest.h>

namespace {

// The catalog text as BIND's consumer reads it, with the primary serving files by hand.
TEST(CatalogSecondary, FollowsTheCatalogText) {
    catalog_servers ns("catalog.zonaris.invalid");
    const std::string soa = "$TTL 300\n@ IN SOA ns1.example.net. h.example.net. 1 600 300 "
                            "86400 60\n@ IN NS ns1.example.net.\n";
    write_text_file(ns.primary.directory + "/a.db", soa + "www IN A 192.0.2.1\n");
    write_text_file(ns.primary.directory + "/r.db", soa + "65 IN PTR h.example.com.\n");
    std::vector<catalog_member> members = {
        {catalog_base_label("a.example."), "a.example."},
        {catalog_base_label("64/26.2.0.192.in-addr.arpa."), "64/26.2.0.192.in-addr.arpa."}};
    write_text_file(ns.primary.directory + "/catalog.db", catalog_zone_text("1", members));
    const std::string acl = "allow-transfer { 127.0.0.1; };";
    write_text_file(ns.primary.include_file,
                    "zone \"catalog.zonaris.invalid\" { type master; file \"catalog.db\"; " + acl +
                        " };\nzone \"a.example\" { type master; file \"a.db\"; " + acl +
                        " };\nzone \"64/26.2.0.192.in-addr.arpa\" { type master; file "
                        "\"r.db\"; " +
                        acl + " };\n");
    ASSERT_TRUE(ns.start()) << ns.primary.log() << ns.secondary.log();
    EXPECT_TRUE(ns.secondary_answers("www.a.example", "A", "192.0.2.1")) << ns.secondary.log();
    EXPECT_TRUE(ns.secondary_answers("65.64/26.2.0.192.in-addr.arpa", "PTR", "h.example.com."));

    members.pop_back();
    write_text_file(ns.primary.directory + "/catalog.db", catalog_zone_text("2", members));
    ASSERT_EQ(ns.primary.rndc({"reload"}).exit_code, 0);
    EXPECT_TRUE(ns.secondary_refuses("64/26.2.0.192.in-addr.arpa")) << ns.secondary.log();
    EXPECT_TRUE(ns.secondary_answers("www.a.example", "A", "192.0.2.1"));
}

} // namespace
