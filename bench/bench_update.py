#!/usr/bin/env python3
"""Wall time of a whole update against the floor the protocol imposes.

Runs the real update tool against unitsim (a TX unit, XC7A35 logic device,
console at 57600 baud on COM3, COM1 and COM2 absent) and compares the tool's
wall time with the sum of the waits it cannot avoid: every reply is only
complete after one whole reading time-out of silence, the version read and
the two final reads last their full time-out, and the unit's reboot is a
fixed 46 x 3 s. Also reports the tool's peak resident memory.

usage: bench_update.py --tool PATH --unitsim PATH [--runs N]
"""
import argparse
import contextlib
import os
import shutil
import subprocess
import sys
import tempfile
import time

# A read ends when its count has arrived or T ms after it began; the tool
# asks for far more than any reply, so every read lasts its whole time-out.
# A reply that comes within the first read therefore costs that read and one
# empty read behind it: 2 T from the command to the end of the collection.
# The waits of one update, in ms, with the unit found at the third rate tried:
FLOOR_MS = {
    "detection: 4 unanswered attempts at 115200 and 9600 (1 empty read each)": 4 * 500,
    "detection: answer at 57600 (2 reads)": 2 * 500,
    "version query: one whole read": 1000,
    "product check: reply, then silence (2 reads)": 2 * 1000,
    "logic announcement: Ready, then silence (2 reads)": 2 * 10000,
    "logic image: SUCCESS, then silence (2 reads)": 2 * 1000,
    "firmware announcement: Ready, then silence (2 reads)": 2 * 5000,
    "firmware image: SUCCESS, then silence (2 reads)": 2 * 1000,
    "reboot wait: 46 x 3 s": 46 * 3000,
    "reboot: clearing read": 1000,
    "reboot: final read": 11000,
}


@contextlib.contextmanager
def simulated_units(tool, unitsim, units):
    """A fresh folder with a copy of the tool, its port map, and one unitsim
    per port ({port: unitsim's arguments}); yields the tool's path there."""
    work = tempfile.mkdtemp(prefix="fwupgrade-bench.")
    sims = []
    try:
        shutil.copy2(tool, os.path.join(work, "TessaronFwUpgrade"))
        os.mkdir(os.path.join(work, "dosdevices"))
        for port, args in units.items():
            sims.append(subprocess.Popen([unitsim, "--dir", work, "--com", str(port)] + args,
                                         stdout=subprocess.PIPE, text=True))
            line = sims[-1].stdout.readline()
            if not line.startswith("unitsim: com%d -> " % port):
                raise RuntimeError("unitsim did not start on COM%d: %r" % (port, line))
        yield os.path.join(work, "TessaronFwUpgrade")
    finally:
        for sim in sims:
            sim.terminate()
            sim.wait()
        shutil.rmtree(work, ignore_errors=True)


def one_run(tool, unitsim):
    with simulated_units(tool, unitsim, {3: ["--role", "tx", "--device-code", "1", "--baud", "57600"]}) as copy:
        start = time.monotonic()
        proc = subprocess.Popen([copy], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        output = proc.stdout.read()
        _, status, usage = os.wait4(proc.pid, 0)
        wall_ms = (time.monotonic() - start) * 1000.0
        if os.waitstatus_to_exitcode(status) != 0 or b"The update was successful" not in output:
            raise RuntimeError("the update did not succeed:\n%s" % output.decode("latin-1"))
        return wall_ms, usage.ru_maxrss


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--unitsim", required=True)
    parser.add_argument("--runs", type=int, default=1)
    args = parser.parse_args()

    floor_ms = sum(FLOOR_MS.values())
    print("protocol floor: %.1f s" % (floor_ms / 1000.0))
    for name, ms in FLOOR_MS.items():
        print("  %-72s %8d ms" % (name, ms))
    for run in range(args.runs):
        wall_ms, maxrss_kib = one_run(args.tool, args.unitsim)
        print("run %d: wall %.3f s, ratio to floor %.4f, overhead %.0f ms, peak RSS %.1f MiB"
              % (run + 1, wall_ms / 1000.0, wall_ms / floor_ms, wall_ms - floor_ms,
                 maxrss_kib / 1024.0))
    return 0


if __name__ == "__main__":
    sys.exit(main())
