// The second half of a changes or restore job: the ACL file, the copy of the unchanged
// `zone` statements, the zone files written by worker processes, the new include file and
// the name server's reload.
#pragma once

struct zonebuildd_state;

// Writes the zones of the job's change set. 0 or -1.
int write_zones(zonebuildd_state &st);
