#!/usr/bin/env python3
"""Faults on the real serial path: the update executable against unitsim.

Each case puts one or more simulated units on pseudo-terminals, runs the tool
with its standard input held open, and checks that it ends with the texts and
the exit code an operator must see, within a bound, whatever the unit does:
the unit vanishes in the middle of an image, falls silent after "Ready",
floods the line without a pause, sends its reply byte by byte with gaps just
under the reading time-out; another program holds a port; the operator types
something that is not a number. The operator's terminal is a pseudo-terminal
of its own; when the tool waits there for its last key press, its open
descriptors are listed: only standard input, output and error may be left,
since the port must be closed on every path. With --valgrind the
tool runs under memcheck, which must report no error and no leak.

    run_faults.py --list
    run_faults.py --tool EXE --unitsim EXE --images DIR --case NAME [--valgrind EXE] [--keep]
"""

import argparse
import os
import pty
import re
import select
import shutil
import subprocess
import sys
import tempfile
import termios
import time

# The end-to-end runner's helpers, imported without leaving compiled files in
# its folder.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from run_e2e import (  # noqa: E402
    BANNER,
    LOGIC_PREPARE,
    LOGIC_SEND,
    NOT_SUCCESSFUL,
    OK,
    PRESS_ANY_KEY,
    PRODUCT,
    PRODUCT_FAILED,
    TX_OK,
    UNKNOWN_PRODUCT,
    Failure,
    Images,
    announcement,
    check_images,
    check_partial_image,
    describe_difference,
    detected,
    full_update,
    manual_port,
    manual_rate,
    percentages,
    read_records,
    start_unitsim,
    stop_unitsim,
    versions,
    wrong_reply,
)

HELP = "%%%help -c version"
VERSION = "%%%fw -v"
IDENTIFY = "%%%fw -p"

# ---------------------------------------------------------------------------
# The cases. Each gives the simulated ports, the operator's input, and either
# the exact transcript or a pattern for it, the exit code, what each unit
# heard, and optional checks of its own on the records and the run time.


def identified_tx(rate):
    """Detection at `rate` on COM3, versions of a TX XC7A35 unit, product check."""
    return BANNER + detected(3, rate) + versions(1) + PRODUCT + TX_OK


def case_vanish_mid_image(images):
    # The unit disappears after 300000 bytes of the logic image (about a
    # third of it): its pseudo-terminal closes, the link goes, the next write
    # fails. Which figure is on screen then depends on how much the line had
    # buffered, so the figures are checked as a run of the right ones.
    logic = images[3]
    vanish = 300000
    head = identified_tx(57600) + LOGIC_PREPARE + OK + LOGIC_SEND
    tail = PRODUCT_FAILED + NOT_SUCCESSFUL + PRESS_ANY_KEY

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
        "commands": {3: [(57600, HELP), (57600, VERSION), (57600, IDENTIFY),
                         (57600, announcement("%fw -l", logic))]},
        "check": check,
    }


def case_silent_after_ready(images):
    # The unit answers the announcement and takes the whole logic image, then
    # says nothing: one reading time-out of silence ends the wait, and the
    # empty reply fails the transfer.
    logic = images[3]
    return {
        "ports": {3: ["--ack", ""]},
        "stdout": identified_tx(57600)
        + LOGIC_PREPARE
        + OK
        + LOGIC_SEND
        + percentages(len(logic))
        + wrong_reply("SUCCESS", "")
        + PRODUCT_FAILED
        + NOT_SUCCESSFUL
        + PRESS_ANY_KEY,
        "images": {3: [("%fw -l", logic)]},
        "commands": {3: [(57600, HELP), (57600, VERSION), (57600, IDENTIFY),
                         (57600, announcement("%fw -l", logic))]},
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
        "stdout": BANNER
        + manual_port(3)
        + manual_rate(rate)
        + OK
        + versions(1)
        + PRODUCT
        + PRODUCT_FAILED
        + NOT_SUCCESSFUL
        + PRESS_ANY_KEY,
        "commands": {3: [(rate, VERSION)] + [(rate, IDENTIFY)] * 4},
        "check": check,
    }


def case_port_held_by_another_program(images):
    # COM2 is held (exclusive and locked) by another program and COM5 has a
    # unit: detection passes COM2 over without a word and finds COM5. The
    # unit's logic device is not one the tool knows, which ends the run early.
    return {
        "ports": {2: ["--hold"], 5: ["--device-code", "2"]},
        "stdout": BANNER
        + detected(5, 57600)
        + versions(2)
        + PRODUCT
        + UNKNOWN_PRODUCT
        + NOT_SUCCESSFUL
        + PRESS_ANY_KEY,
        "commands": {2: [], 5: [(57600, HELP), (57600, VERSION)]},
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
        "stdout": BANNER + detected(3, 115200) + PRODUCT + UNKNOWN_PRODUCT + NOT_SUCCESSFUL + PRESS_ANY_KEY,
        "commands": {3: [(115200, HELP), (115200, VERSION)]},
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
        "commands": {3: [(57600, HELP)] * 2},
    }


def case_operator_types_rate_word(images):
    # The port is a number, the rate is not: the rate stays where detection
    # left it (0), which the port refuses; the port is closed again.
    return {
        "ports": {3: ["--drop-help", "1000"]},
        "input": "3\nfast\n",
        "stdout": BANNER + manual_port(3) + manual_rate(0) + PRESS_ANY_KEY,
        "exit": 255,
        "commands": {3: [(57600, HELP)] * 2},
    }


def case_whole_update(images):
    # No fault: a whole update of a TX unit, reboot wait included (about
    # three minutes). Run under memcheck, it shows that a successful run
    # leaves nothing behind either.
    transcript, received, commands = full_update(images, 3, TX_OK, False, 1, 57600, "K6G-TX")
    return {
        "ports": {3: []},
        "stdout": BANNER + detected(3, 57600) + transcript,
        "images": {3: received},
        "commands": {3: [(57600, HELP)] + commands},
    }


# Name, function, ctest time-out in seconds.
CASES = [
    ("whole_update", case_whole_update, 400),
    ("reply_byte_by_byte", case_reply_byte_by_byte, 120),
    ("vanish_mid_image", case_vanish_mid_image, 90),
    ("silent_after_ready", case_silent_after_ready, 90),
    ("flood", case_flood, 90),
    ("port_held_by_another_program", case_port_held_by_another_program, 60),
    ("operator_types_port_name", case_operator_types_port_name, 60),
    ("operator_types_rate_word", case_operator_types_rate_word, 60),
]

# ---------------------------------------------------------------------------
# Running a case.


def open_descriptors(pid):
    """The tool's open descriptors other than 0, 1 and 2, with their targets."""
    fd_dir = f"/proc/{pid}/fd"
    found = {}
    for name in os.listdir(fd_dir):
        fd = int(name)
        if fd <= 2:
            continue
        try:
            found[fd] = os.readlink(os.path.join(fd_dir, name))
        except OSError:
            continue
    return found


def run_tool(command, directory, typed, limit, valgrind_log):
    """Runs the tool with a terminal as its standard input until it ends.

    The operator's numbers are typed on the terminal. Once the tool has put
    the terminal in raw mode for its key press, its open descriptors are
    listed and the key is pressed. Returns the output, the exit code, the
    descriptors left open (None if the tool never waited for its key), the
    seconds the run took and what went to standard error.
    """
    master, slave = pty.openpty()
    started = time.monotonic()
    process = subprocess.Popen(
        command, stdin=slave, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=directory
    )
    try:
        if typed:
            os.write(master, typed.encode())
        output = b""
        leftover = None
        while True:
            if time.monotonic() - started > limit:
                raise Failure(f"the tool did not end within {limit} s; it printed {output[-400:]!r}")
            ready, _, _ = select.select([process.stdout, master], [], [], 0.1)
            if master in ready:
                os.read(master, 4096)  # the terminal's echo of what was typed
            if process.stdout in ready:
                chunk = os.read(process.stdout.fileno(), 1 << 20)
                if not chunk:
                    break
                output += chunk
            if leftover is None and output.endswith(PRESS_ANY_KEY.encode()):
                lflag = termios.tcgetattr(slave)[3]
                if lflag & termios.ICANON == 0 and process.poll() is None:
                    # In its key read: the port must be closed by now.
                    leftover = open_descriptors(process.pid)
                    if valgrind_log:
                        # The checker's own: its log, and those it keeps at the
                        # top of the table.
                        leftover = {
                            fd: t for fd, t in leftover.items() if fd < 1000 and t != valgrind_log
                        }
                    os.write(master, b"k")
        try:
            process.wait(timeout=max(5.0, limit - (time.monotonic() - started)))
        except subprocess.TimeoutExpired:
            raise Failure("the tool did not end after the key press")
        seconds = time.monotonic() - started
        return output, process.returncode, leftover, seconds, process.stderr.read()
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        os.close(master)
        os.close(slave)


def run_case(name, args):
    function, timeout = next((f, t) for n, f, t in CASES if n == name)
    directory = tempfile.mkdtemp(prefix=f"faults-{name}-")
    sims = {}
    started = time.monotonic()
    try:
        images = Images(args.images, None, directory)
        case = function(images)
        tool = os.path.join(directory, os.path.basename(args.tool))
        shutil.copy2(args.tool, tool)
        os.mkdir(os.path.join(directory, "dosdevices"))
        for port, sim_args in case["ports"].items():
            sims[port] = start_unitsim(args.unitsim, directory, port, sim_args)

        command = [tool]
        log = os.path.join(directory, "memcheck.log")
        if args.valgrind:
            command = [
                args.valgrind,
                "--tool=memcheck",
                "--leak-check=full",
                "--show-leak-kinds=all",
                "--errors-for-leak-kinds=all",
                "--track-fds=yes",
                "--error-exitcode=99",
                f"--log-file={log}",
                tool,
            ]
        output, code, leftover, seconds, err = run_tool(
            command, directory, case.get("input", ""), timeout - 10, log if args.valgrind else None
        )
        for process, _ in sims.values():
            stop_unitsim(process)

        problems = []
        actual = output.decode("latin-1")
        if "stdout_re" in case:
            if not re.fullmatch(case["stdout_re"], actual, re.S):
                problems.append(f"the transcript does not match {case['stdout_re']!r}:\n  {actual!r}")
        elif actual != case["stdout"]:
            problems.append(describe_difference(case["stdout"], actual))
        if code != case.get("exit", 0):
            problems.append(f"exit code {code}, expected {case.get('exit', 0)}")
        if err:
            problems.append(f"the tool wrote to standard error: {err!r}")
        if leftover is None:
            problems.append("the tool did not wait for its key, so its descriptors were not seen")
        elif leftover:
            problems.append(f"descriptors left open at the end of the run: {leftover}")
        records = {}
        for port, (_, record) in sims.items():
            records[port] = read_records(record)
            received, commands = records[port]
            try:
                if port in case.get("images_partial", {}):
                    check_partial_image(port, case["images_partial"][port], received)
                else:
                    check_images(port, case.get("images", {}).get(port, []), received)
            except Failure as e:
                problems.append(str(e))
            expected_commands = case.get("commands", {}).get(port, [])
            # Detection's attempts at rates the unit doesn't run at are not
            # heard; those at its rate are.
            if commands != expected_commands:
                problems.append(f"COM{port} heard {commands}\n    expected {expected_commands}")
        if "check" in case and not problems:
            try:
                case["check"](actual, records, seconds)
            except Failure as e:
                problems.append(str(e))
        if args.valgrind:
            with open(log) as f:
                report = f.read()
            if code == 99 or "ERROR SUMMARY: 0 errors" not in report:
                problems.append(f"memcheck found errors:\n{report}")
            elif "in use at exit: 0 bytes in 0 blocks" not in report:
                problems.append(f"memory still held at exit:\n{report}")
            summary = re.findall(r"(ERROR SUMMARY: .*|in use at exit: .*|total heap usage: .*)", report)
            print("memcheck: " + "; ".join(summary))
        if problems:
            raise Failure("\n".join(problems))
        print(
            f"faults {name}: passed; the tool ran {seconds:.1f} s, "
            f"the case {time.monotonic() - started:.1f} s"
        )
        return 0
    except Failure as e:
        print(f"faults {name}: FAILED\n{e}")
        if args.keep:
            print(f"kept {directory}")
        return 1
    finally:
        for process, _ in sims.values():
            if process.poll() is None:
                process.kill()
                process.wait()
        if not args.keep:
            shutil.rmtree(directory, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--list", action="store_true", help="print the cases and their time-outs")
    parser.add_argument("--tool")
    parser.add_argument("--unitsim")
    parser.add_argument("--images")
    parser.add_argument("--case")
    parser.add_argument("--valgrind", help="run the tool under this valgrind")
    parser.add_argument("--keep", action="store_true", help="keep the case's directory")
    args = parser.parse_args()
    if args.list:
        for name, _, timeout in CASES:
            print(f"{name} {timeout}")
        return 0
    if not (args.tool and args.unitsim and args.images and args.case):
        parser.error("--tool, --unitsim, --images and --case are required")
    if args.case not in [n for n, _, _ in CASES]:
        parser.error(f"no case {args.case}")
    return run_case(args.case, args)


if __name__ == "__main__":
    sys.exit(main())
