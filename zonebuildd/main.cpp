// zonebuildd: writes the name server's zones, include file and ACL file from the panel
// database, on a timer and on the signals that zonebuild sends.
#include "zonebuildd.h"

int main(int argc, char **argv) {
    zonebuildd_state &st = zbd();
    if (zonebuildd_start(st, argc, argv) == 0)
        zonebuildd_run(st);
    return zonebuildd_exit(st);
}
