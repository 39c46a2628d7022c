#!/usr/bin/python3
"""Peak memory of a process and its children, sampled every 20 ms until SIGTERM.

    peak_memory.py PID OUT

Writes to OUT (one "key value" per line, kB): the process's own peak resident set (VmHWM),
the largest peak of any child (the zonebuildd workers; VmHWM counts the pages shared with the
parent too), and the peak of the summed proportional set size (Pss: shared pages split
between the processes) over the process and its children, i.e. their real joint footprint.
"""
import signal
import sys
import time

root, out = int(sys.argv[1]), sys.argv[2]
stop = False


def on_term(*_):
    global stop
    stop = True


signal.signal(signal.SIGTERM, on_term)


def children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(x) for x in f.read().split()]
    except OSError:
        return []


def field(path, key):
    try:
        with open(path) as f:
            for line in f:
                if line.startswith(key):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        return None
    return None


own = child = joint = 0
while not stop:
    pss_sum = 0
    for pid in [root] + children(root):
        hwm = field(f"/proc/{pid}/status", "VmHWM:")
        if hwm is None:
            continue
        if pid == root:
            own = max(own, hwm)
        else:
            child = max(child, hwm)
        pss_sum += field(f"/proc/{pid}/smaps_rollup", "Pss:") or 0
    joint = max(joint, pss_sum)
    time.sleep(0.02)

with open(out, "w") as f:
    f.write(f"daemon_hwm_kb {own}\nworker_hwm_kb {child}\njoint_pss_kb {joint}\n")
