#!/usr/bin/env python3
"""Wall time of a station updating three units at once against that of one.

A station updates several units in parallel, one run of the tool per port
(--port N --no-wait). The runs share nothing but the machine, and every wait
of an update is the unit's (reply time-outs, the line rate, the reboot), so
three at once should take hardly longer than one. This runs three whole
updates at once against three simulated units (TX and RX, other logic
devices and console rates, on COM3, COM7 and COM41), and the slowest of them
alone (COM7: the largest image, and the unit found at the second rate
tried), checks that every run succeeded, and prints both wall times and
their ratio beside the target of 1.1.

With --all it measures the station mode itself: the tool with --all on 32
ports, 16 of them with a unit (TX and RX, both logic devices, three rates),
the others silent, absent or held by another program. The whole station
against one update alone (the slowest unit's), target at most 1.1 times; and
the search for units (from the start to the station's "N units found" line)
against one port's detection (a silent port's, which tries every rate),
target at most 1.5 times.

usage: bench_station.py --tool PATH --unitsim PATH [--all]
"""
import argparse
import os
import subprocess
import sys
import time

from bench_update import simulated_units

# Port: unitsim's arguments for the unit there.
UNITS = {
    3: ["--role", "tx", "--device-code", "1", "--baud", "57600"],
    7: ["--role", "rx", "--device-code", "4", "--baud", "9600"],
    41: ["--role", "rx", "--variant", "2", "--device-code", "1", "--baud", "115200"],
}
TARGET_RATIO = 1.1
SEARCH_TARGET_RATIO = 1.5

# --all: 16 units on the even ports, the odd ones silent (a rate detection
# never tries), absent (a link to nothing) or held.
ALL_UNITS = {
    port: ["--role", ("tx", "rx")[k % 2], "--device-code", ("1", "4")[k // 2 % 2],
           "--baud", ("57600", "9600", "115200")[k % 3]]
    for k, port in enumerate(range(2, 33, 2))
}
ALL_OTHERS = {**{port: ["--baud", "300"] for port in (1, 3, 5, 7, 9, 27, 29, 31)},
              **{port: ["--absent"] for port in (11, 13, 15, 17, 19)},
              **{port: ["--hold"] for port in (21, 23, 25)}}


def station(tool, unitsim, ports):
    """Updates the units on `ports` at once; the wall time in seconds."""
    with simulated_units(tool, unitsim, {port: UNITS[port] for port in ports}) as copy:
        start = time.monotonic()
        runs = [subprocess.Popen([copy, "--port", str(port), "--no-wait"], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, cwd=os.path.dirname(copy))
                for port in ports]
        outputs = [run.communicate()[0] for run in runs]
        wall = time.monotonic() - start
        for port, run, output in zip(ports, runs, outputs):
            if run.returncode != 0 or b"The update was successful" not in output:
                raise RuntimeError("the update on COM%d did not succeed (exit %d):\n%s"
                                   % (port, run.returncode, output.decode("latin-1")))
        return wall


def timed_run(copy, args):
    """Runs the tool; its wall time, exit code, output, and the seconds at
    which each output line arrived."""
    start = time.monotonic()
    run = subprocess.Popen([copy] + args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           cwd=os.path.dirname(copy))
    lines = []
    for line in iter(run.stdout.readline, b""):
        lines.append((time.monotonic() - start, line.decode("latin-1")))
    run.wait()
    return time.monotonic() - start, run.returncode, lines


def all_ports(tool, unitsim):
    """The station with --all against one update and one port's detection."""
    slowest = 4  # a 57600-baud unit: found at the third rate tried
    with simulated_units(tool, unitsim, {slowest: ALL_UNITS[slowest]}) as copy:
        one, code, _ = timed_run(copy, ["--port", str(slowest), "--no-wait"])
        if code != 0:
            raise RuntimeError("the update on COM%d did not succeed (exit %d)" % (slowest, code))
    with simulated_units(tool, unitsim, {1: ALL_OTHERS[1]}) as copy:
        detection, code, _ = timed_run(copy, ["--port", "1", "--no-wait"])
        if code != 1:
            raise RuntimeError("the silent COM1 gave exit code %d, not 1 (no unit)" % code)
    with simulated_units(tool, unitsim, {**ALL_UNITS, **ALL_OTHERS}) as copy:
        whole, code, lines = timed_run(copy, ["--all"])
        output = "".join(line for _, line in lines)
        if code != 0 or "16 units, 16 updated, 0 not" not in output:
            raise RuntimeError("the station did not update all 16 units (exit %d):\n%s" % (code, output))
        search = next(at for at, line in lines if " units found on " in line)
    print("one update (COM%d):             wall %.3f s" % (slowest, one))
    print("station of 16 units, --all:    wall %.3f s" % whole)
    print("ratio station/one: %.4f (target at most %.1f: %s)"
          % (whole / one, TARGET_RATIO, "met" if whole / one <= TARGET_RATIO else "NOT met"))
    print("one port's detection (COM1):   wall %.3f s" % detection)
    print("search for units on 24 ports:  wall %.3f s" % search)
    print("ratio search/detection: %.4f (target at most %.1f: %s)"
          % (search / detection, SEARCH_TARGET_RATIO,
             "met" if search / detection <= SEARCH_TARGET_RATIO else "NOT met"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--unitsim", required=True)
    parser.add_argument("--all", action="store_true", help="measure the station mode with --all")
    args = parser.parse_args()
    if args.all:
        all_ports(args.tool, args.unitsim)
        return 0

    one = station(args.tool, args.unitsim, [7])
    print("one unit (COM7):               wall %.3f s" % one)
    three = station(args.tool, args.unitsim, sorted(UNITS))
    print("three units (COM3, 7, 41):     wall %.3f s" % three)
    ratio = three / one
    print("ratio three/one: %.4f (target at most %.1f: %s)"
          % (ratio, TARGET_RATIO, "met" if ratio <= TARGET_RATIO else "NOT met"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
