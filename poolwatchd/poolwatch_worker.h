// A poll worker: one thread per running poll. It opens its own database connection, finds
// the poll's script, environment and records, tests each record the tallies ask it to and
// reports the outcomes; the record is switched by whichever report completes its tally.
#pragma once

#include "poolwatch_pollset.h"

// The worker thread's body; owns its copy of the poll.
void poolwatch_launch_poll(pool_poll p);
