#include "feed_chunks.h"

#include "feed_parse.h"
#include "logging.h"

namespace {

bool owned_by(const feed_block &block, const feed_record &feed, const zone_set &zones,
              sql_conn *db) {
    zone_header header;
    if (resolve_header(block.header, header, 0, db, feed.id) != HEADER_OK)
        return false;
    const zone_claim *claim = zone_set_find(zones, header.name);
    return claim && claim->feed_id == feed.id;
}

} // namespace

int get_chunk_bounds(feed_reader &reader, const feed_record &feed, const zone_set &zones,
                     size_t chunk_size, work_item &item, sql_conn *db) {
    bool started = false;
    for (;;) {
        const size_t before = reader.pos;
        const int line_before = reader.line;
        feed_block block;
        const int rc = next_block(reader, block);
        if (rc == 1)
            return started ? 0 : 1;
        if (rc < 0) {
            LOGF(LOG_ERR, "Error parsing file %s, line %d.", feed.url.c_str(), reader.line);
            return -1;
        }
        if (!owned_by(block, feed, zones, db)) {
            if (!started)
                continue;
            // The chunk ends in front of this block; the next call reads it again.
            reader.pos = before;
            reader.line = line_before;
            return 0;
        }
        if (!started) {
            started = true;
            item.start = block.start;
            item.line = block.header_line - 1;
        }
        item.end = block.end;
        if (item.end - item.start >= chunk_size)
            return 0;
    }
}
