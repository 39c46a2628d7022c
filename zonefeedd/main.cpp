// zonefeedd: imports the zones that clients publish at remote update locations, on a timer
// and on the signals that zonefeed sends.
#include "zonefeedd.h"

int main(int argc, char **argv) {
    static zonefeedd_state st;
    if (zonefeedd_start(st, argc, argv) == 0)
        zonefeedd_run(st);
    return zonefeedd_exit(st);
}
