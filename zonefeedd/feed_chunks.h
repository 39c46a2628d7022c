// The chunk cutter of the write phase: runs of consecutive zone blocks of one feed file
// that the run's zone set gives to that feed, each about `chunk_size` bytes (the run's
// largest download divided by ZONEFEED_CONCURRENCY_LIMIT), always cut at block boundaries.
// The blocks are those of the one feed reader (feed_parse_lines.h), so a chunk starts and
// ends exactly where every other pass sees a block start and end.
//
// Reads the feed text; touches nothing else.
#pragma once

#include "feed_parse_lines.h"
#include "feed_record.h"
#include "feed_scan.h"
#include "sql.h"

#include <cstddef>

// A chunk: byte offsets of its first header line and just behind its last block, and the
// number of the line before its first header.
struct work_item {
    size_t start = 0;
    size_t end = 0;
    int line = 0;
};

// The next chunk of `feed` from where `reader` stands: 0 with `item` filled, 1 when the feed
// owns no further block, -1 on a syntax error outside blocks (ERROR "Error parsing file %s,
// line %d."). A block the feed does not own, or whose header is refused, ends the chunk in
// front of it. `db` resolves classless reverse headers as the header scan did (their
// canonical name follows the stored separator); nullptr leaves the separator unknown.
int get_chunk_bounds(feed_reader &reader, const feed_record &feed, const zone_set &zones,
                     size_t chunk_size, work_item &item, sql_conn *db);
