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

usage: bench_station.py --tool PATH --unitsim PATH
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--unitsim", required=True)
    args = parser.parse_args()

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
