#!/usr/bin/env python3
"""Faults on the real serial path: the update executable against unitsim.

Each case puts one or more simulated units on pseudo-terminals, runs the tool
with a terminal of its own as the operator's console, and checks that it ends
with the texts and the exit code an operator must see, within a bound,
whatever the unit does: the unit vanishes in the middle of an image, falls
silent after "Ready", floods the line without a pause, sends its reply byte by
byte with gaps just under the reading time-out; another program holds a port;
the operator types something that is not a number. While the tool waits for
its last key press, only standard input, output and error may be open, since
the port must be closed on every path. With --valgrind the tool runs under
memcheck, which must report no error and no leak.

    run_faults.py --list
    run_faults.py --tool EXE --unitsim EXE --images DIR --case NAME [--valgrind EXE] [--keep]
"""

import os
import re
import sys

# The end-to-end runner's texts, running and checks, imported without leaving
# compiled files in its folder.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

import run_e2e as e2e  # noqa: E402
from run_e2e import (  # noqa: E402
    BANNER,
    FAILED_END,
    HELP,
    IDENTIFY,
    LOGIC_PREPARE,
    LOGIC_SEND,
    OK,
    PRESS_ANY_KEY,
    PRODUCT,
    PRODUCT_FAILED,
    UNKNOWN_PRODUCT,
    VERSION,
    Failure,
    announcement,
    detected,
    heard,
    identified_tx,
    manual_port,
    manual_rate,
    percentages,
    versions,
)

# ---------------------------------------------------------------------------
# The cases, as those of the end-to-end runner, with optional checks of their
# own on the transcript, the records and the run time.


def case_vanish_mid_image(images):
    # The unit disappears after 300000 bytes of the logic image (about a
    # third of it): its pseudo-terminal closes, the link goes, the next write
    # fails. Which figure is on screen then depends on how much the line had
    # buffered, so the figures are checked as a run of the right ones.
    logic = images[3]
    vanish = 300000
    head = identified_tx() + LOGIC_PREPARE + OK + LOGIC_SEND
    tail = PRODUCT_FAILED + FAILED_END

    def check(output, records, seconds):
        figures = output[len(head) : len(output) - len(tail)]
        if not percentages(len(logic)).startswith(figures):
            raise Failure(f"the figures shown are not those of the transfer: {figures!r}")
        last = int(re.findall(r"(\d+)%", figures)[-1])
        if not vanish * 100 // len(logic) <= last < 100:
            raise Failure(f"the transfer stopped at {last}%, not just after the unit vanished")
        received = records[3][0][0]["data"]
        if len(received) != vanish:
            raise Failure(f"the unit took {len(received)} bytes before it vanished, not {vanish}")

    return {
        "ports": {3: ["--vanish-after", str(vanish)]},
        "stdout_re": re.escape(head) + r"1%(\x08\x08\x08?\d{1,2}%)*" + re.escape(tail),
        "images_partial": {3: ("%fw -l", logic)},
        "exit": 1,
        "commands": {3: heard(57600, HELP, VERSION, IDENTIFY, announcement("%fw -l", logic))},
        "check": check,
    }


def case_silent_after_ready(images):
    # The unit answers the announcement and takes the whole logic image, then
    # says nothing: one reading time-out of silence ends the wait, and the
    # empty reply fails the transfer.
    logic = images[3]
    return {
        "ports": {3: ["--ack", ""]},
        "stdout": identified_tx()
        + LOGIC_PREPARE
        + OK
        + LOGIC_SEND
        + percentages(len(logic))
        + e2e.wrong_reply("SUCCESS", "")
        + PRODUCT_FAILED
        + FAILED_END,
        "images": {3: [("%fw -l", logic)]},
        "exit": 1,
        "commands": {3: heard(57600, HELP, VERSION, IDENTIFY, announcement("%fw -l", logic))},
    }


def case_flood(images):
    # A console that streams without a pause from "%fw -v" on, at 4 Mbit/s on
    # the operator's port (the rate lets the flood fill the reply buffer in a
    # few seconds). The version read takes what one time-out brings; each of
    # the four identification exchanges ends only because the reply buffer
    # (1,023,999 bytes) is full, and none matches.
    rate = 4000000

    def check(output, records, seconds):
        # About 2.6 s a filled buffer; without the bound the run never ends.
        if seconds < 4 * 1023999 * 10 / rate:
            raise Failure(f"the run took {seconds:.1f} s: the exchanges cannot have filled the buffer")

    return {
        "ports": {3: ["--baud", str(rate), "--flood-version"]},
        "input": f"3\n{rate}\n",
        "stdout": e2e.manual(3, rate) + versions(1) + PRODUCT + PRODUCT_FAILED + FAILED_END,
        "exit": 1,
        "commands": {3: heard(rate, VERSION, *[IDENTIFY] * 4)},
        "check": check,
    }


def case_port_held_by_another_program(images):
    # COM2 is held (exclusive and locked) by another program and COM5 has a
    # unit: detection passes COM2 over without a word and finds COM5. The
    # unit's logic device is not one the tool knows, which ends the run early.
    return {
        "ports": {2: ["--hold"], 5: ["--device-code", "2"]},
        "stdout": BANNER + detected(5, 57600) + versions(2) + PRODUCT + UNKNOWN_PRODUCT + FAILED_END,
        "exit": 1,
        "commands": {5: heard(57600, HELP, VERSION)},
    }


def case_reply_byte_by_byte(images):
    # Every byte of every reply comes 420 ms after the one before, under the
    # 500 ms reading time-out of detection: the 75 bytes of the help reply
    # (about 31 s) are collected as one reply and match. The version reply
    # is read in one single read of 1000 ms, which brings its first bytes
    # only, so the unit is not identified.
    gap = 420

    def check(output, records, seconds):
        if seconds < 74 * gap / 1000:
            raise Failure(f"the run took {seconds:.1f} s, too short for the help reply at {gap} ms a byte")

    return {
        "ports": {3: ["--baud", "115200", "--reply-gap", str(gap)]},
        "stdout": BANNER + detected(3, 115200) + PRODUCT + UNKNOWN_PRODUCT + FAILED_END,
        "exit": 1,
        "commands": {3: heard(115200, HELP, VERSION)},
        "check": check,
    }


def case_operator_types_port_name(images):
    # Nothing answers detection and the operator types "COM3" for the port:
    # not a number, so the port number stays where detection left it (0,
    # since COM32 does not exist), which can't be opened.
    return {
        "ports": {3: ["--drop-help", "1000"]},
        "input": "COM3\n",
        "stdout": BANNER + manual_port(0) + "ERROR: Opening COM0 failed !" + PRESS_ANY_KEY,
        "exit": 255,
        "commands": {3: heard(57600, HELP, HELP)},
    }


def case_operator_types_rate_word(images):
    # The port is a number, the rate is not: the rate stays where detection
    # left it (0), which the port refuses; the port is closed again.
    return {
        "ports": {3: ["--drop-help", "1000"]},
        "input": "3\nfast\n",
        "stdout": BANNER + manual_port(3) + manual_rate(0) + PRESS_ANY_KEY,
        "exit": 255,
        "commands": {3: heard(57600, HELP, HELP)},
    }


# Name, function, ctest time-out in seconds. The whole update (about three
# minutes), an end-to-end case already, runs here under memcheck only, to
# show that a successful run leaves nothing behind either.
CASES = [
    ("whole_update", e2e.case_full_tx_xc7a35, 400),
    ("reply_byte_by_byte", case_reply_byte_by_byte, 120),
    ("vanish_mid_image", case_vanish_mid_image, 90),
    ("silent_after_ready", case_silent_after_ready, 90),
    ("flood", case_flood, 90),
    ("port_held_by_another_program", case_port_held_by_another_program, 60),
    ("operator_types_port_name", case_operator_types_port_name, 60),
    ("operator_types_rate_word", case_operator_types_rate_word, 60),
]


def memcheck_problems(log, code):
    with open(log) as f:
        report = f.read()
    summary = re.findall(r"(ERROR SUMMARY: .*|in use at exit: .*|total heap usage: .*)", report)
    print("memcheck: " + "; ".join(summary))
    if code == 99 or "ERROR SUMMARY: 0 errors" not in report:
        return [f"memcheck found errors:\n{report}"]
    if "in use at exit: 0 bytes in 0 blocks" not in report:
        return [f"memory still held at exit:\n{report}"]
    return []


def main():
    args = e2e.command_line(__doc__, CASES, ("tool", "unitsim", "images"), ("valgrind",))
    function, timeout = next((f, t) for n, f, t in CASES if n == args.case)

    def body(directory):
        case = function(e2e.Images(args.images, None, directory))
        command = [e2e.place_tool(args.tool, directory)]
        log = os.path.join(directory, "memcheck.log") if args.valgrind else None
        if log:
            command[:0] = [args.valgrind, "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=all",
                           "--errors-for-leak-kinds=all", "--track-fds=yes", "--error-exitcode=99",
                           f"--log-file={log}"]  # fmt: skip
        with e2e.units(args.unitsim, directory, case["ports"]) as sims:
            run = e2e.run_on_terminal(command, directory, case.get("input", ""), timeout - 15, log)
            problems = e2e.check_run(case, run, sims)
        if log:
            problems += memcheck_problems(log, run.code)
        if problems:
            raise Failure("\n".join(problems))
        return f"the tool ran {run.seconds:.1f} s"

    return e2e.run_reported("faults", args.case, args.keep, body)


if __name__ == "__main__":
    sys.exit(main())
