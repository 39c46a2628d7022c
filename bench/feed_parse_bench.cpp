// Reading a feed file as the feed daemon does: the header scan over the whole file, then
// every owned block parsed, validated and keyed. Two files: a realistic one (10,000 zones of
// 20 records of mixed types) and a hostile one (5,000 headers of long invalid names, 40,000
// invalid record lines in 40 otherwise valid zones). Items are records (realistic) or lines
// decided (hostile).
#include "dns_common.h"
#include "feed_parse.h"
#include "feed_scan.h"
#include "logging.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

std::string realistic_feed() {
    std::string text = "# generated feed\n";
    for (int z = 0; z < 10000; ++z) {
        const std::string n = std::to_string(z);
        text += "zone" + n + ".example.test | master {\n";
        text += "SERIAL||2024061501||\nNS||@||ns1.provider.test.||1\nNS||@||ns2.provider.test.\n";
        text += "A||@||192.0.2." + std::to_string(z % 250 + 1) + "\n";
        for (int i = 0; i < 6; ++i)
            text += "A||host" + std::to_string(i) + "||198.51.100." + std::to_string(i + 1) + "\n";
        text += "AAAA||www||2001:db8:0:" + std::to_string(z % 9999) + "::1\n";
        text += "AAAA||mail||2001:db8::25\n";
        text += "CNAME||www2||www\nCNAME||ftp||host1\n";
        text += "MX||@||mail||10\nMX||@||mx2.provider.test.||20\n";
        text += "TXT||@||v=spf1 mx a:mail." + n + ".example.test -all\n";
        text += "TXT||_dmarc||v=DMARC1; p=quarantine; rua=mailto:dmarc@example.test\n";
        text += "SRV||_sip._tcp||sip||10||5||5060||3600\n";
        text += "SRV||_sip._udp||sip||10||5||5060\n";
        text +=
            "NAPTR||@||!^.*$!sip:info@zone" + n + ".example.test!i||100||10||||||E2U+sip||U||\n";
        text += "}\n";
    }
    return text;
}

std::string hostile_feed() {
    std::string text;
    const std::string bad_label = std::string(60, 'x') + "$\"{;";
    for (int z = 0; z < 5000; ++z) {
        std::string name;
        while (name.size() < 240)
            name += bad_label + ".";
        text += name + std::to_string(z) + ".test {\nA||www||192.0.2.1\n}\n";
    }
    for (int z = 0; z < 40; ++z) {
        text += "target" + std::to_string(z) + ".example.test {\nNS||@||ns1.provider.test.\n";
        for (int i = 0; i < 1000; ++i) {
            switch (i % 5) {
            case 0:
                text += "A||h" + std::to_string(i) + "||192.0.02." + std::to_string(i % 200) + "\n";
                break;
            case 1:
                text += "MX||@||" + std::string(300, 'm') + ".test.||99999\n";
                break;
            case 2:
                text += "TXT||t||" + std::string(200, 'q') + "\"\n";
                break;
            case 3:
                text += "CNAME||a$b||evil.test.;rm\n";
                break;
            default:
                text += "NAPTR||@||!a!b!c!||1||1||||||E2U+sip||X||.\n";
            }
        }
        text += "}\n";
    }
    return text;
}

// Scan, then parse every claimed block. Returns the records accepted.
size_t read_feed(const std::string &text, const srv_name_set &services,
                 const srv_name_set &protocols) {
    feed_record feed;
    feed.id = 1;
    feed.url = "https://127.0.0.1/feed";
    feed.perm.forward_level = feed.perm.reverse_level = feed.perm.enum_level = 20;
    feed_reporter report;
    zone_set zones;
    feed_file file;
    file.text = text;
    scan_env env{report, zones, nullptr, 1000000};
    if (scan_feed_text(feed, file, env) != 0)
        return 0;
    size_t accepted = 0;
    feed_reader reader{file.text};
    feed_block block;
    record_table records;
    option_table options;
    while (next_block(reader, block) == 0) {
        zone_header header;
        if (resolve_header(block.header, header, 1, nullptr, feed.id) != HEADER_OK ||
            !zone_set_find(zones, header.name))
            continue;
        feed_reader body{file.text, block.start, block.header_line};
        feed_line line;
        read_line(body, line);
        parse_env penv{feed, report, &services, &protocols, 1000};
        records.clear();
        options.clear();
        parse_import_entries(body, header, penv, records, options);
        accepted += records.size();
    }
    flush_line_failures(report, feed);
    return accepted;
}

void run(benchmark::State &state, const std::string &text, size_t items) {
    _init_global_str();
    set_log_level(LOG_ERR);
    const srv_name_set services{"sip", "xmpp-server"}, protocols{"tcp", "udp"};
    size_t accepted = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(accepted = read_feed(text, services, protocols));
    state.counters["accepted"] = static_cast<double>(accepted);
    state.counters["MiB"] = static_cast<double>(text.size()) / (1024 * 1024);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * items));
}

void BM_realistic_feed(benchmark::State &state) {
    static const std::string text = realistic_feed();
    run(state, text, 200000);
}

void BM_hostile_feed(benchmark::State &state) {
    static const std::string text = hostile_feed();
    run(state, text, 45000);
}

BENCHMARK(BM_realistic_feed)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_hostile_feed)->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace
