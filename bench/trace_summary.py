#!/usr/bin/env python3
"""Summarises a Wine trace of bench/job_trace.cpp: for the benchmark's
baseline job and for each monitor entry of the traced job, the calls made by the program
itself (relay depth 0), the native calls beneath them (ntdll Nt*) and the
requests that reached the wineserver.

    trace_summary.py TRACE_LOG [--calls]
"""
import collections
import re
import sys

STEPS = ("baseline", "StartDocPort", "WritePort", "EndDocPort")
CALL = re.compile(r'^([0-9a-f]{4}):Call ([\w.]+)\(')
RET = re.compile(r'^([0-9a-f]{4}):Ret  ([\w.]+)\(')
REQUEST = re.compile(r'^([0-9a-f]{4}): (\w+)\( ')
MARK = re.compile(r':Call KERNEL32\.OutputDebugStringA\([0-9a-f]+ "trace:(\w+)"\)')


def main():
    thread = None
    step = None
    depth = 0
    in_marker = False
    own = {s: collections.Counter() for s in STEPS}
    native = {s: collections.Counter() for s in STEPS}
    server = {s: collections.Counter() for s in STEPS}
    with open(sys.argv[1], errors="replace") as log:
        for line in log:
            mark = MARK.search(line)
            if mark:
                thread = line[:4]
                step = mark.group(1) if mark.group(1) in STEPS else None
                in_marker = True
                continue
            if thread is None or not line.startswith(thread):
                continue
            if in_marker:
                # The marker's own work is not counted.
                if line.startswith(thread + ":Ret  KERNEL32.OutputDebugStringA("):
                    in_marker = False
                continue
            if step is None:
                continue
            call = CALL.match(line)
            if call:
                name = call.group(2)
                if depth == 0:
                    own[step][name] += 1
                if name.startswith("ntdll.Nt"):
                    native[step][name] += 1
                depth += 1
            elif RET.match(line):
                depth = max(0, depth - 1)
            else:
                request = REQUEST.match(line)
                if request:
                    server[step][request.group(2)] += 1

    monitor = STEPS[1:]
    print(f"{'':<30}{'baseline job':>14}" + "".join(f"{s:>14}" for s in monitor) + f"{'monitor':>10}")
    # The calls into Windows itself: the C runtime's are left aside.
    system = {s: collections.Counter({name: count for name, count in own[s].items()
                                      if not name.startswith(("msvcrt.", "ucrtbase."))}) for s in STEPS}
    for title, table in (("calls made by the program", own), ("  of them into Windows", system),
                         ("  native (Nt*) beneath", native), ("wineserver requests", server)):
        cells = [sum(table[s].values()) for s in STEPS]
        print(f"{title:<30}" + "".join(f"{c:>14}" for c in cells) + f"{sum(cells[1:]):>10}")
    if "--calls" in sys.argv:
        for title, table in (("calls into Windows", system), ("native calls", native),
                             ("wineserver requests", server)):
            for s in STEPS:
                print(f"\n{title}, {s}:")
                for name, count in sorted(table[s].items(), key=lambda item: (-item[1], item[0])):
                    print(f"  {count:4}  {name}")


if __name__ == "__main__":
    main()
