#!/usr/bin/env python3
"""Faults on the real serial path: the update executable against unitsim.

Each case puts one or more simulated units on pseudo-terminals, runs the tool
with a terminal of its own as the operator's console, and checks that it ends
with the texts and the exit code an operator must see, within a bound,
whatever the unit does: the unit vanishes in the middle of an image, hangs up
right after its last acknowledgement, falls silent after "Ready", stops
reading after "Ready", floods the line without a pause (zero bytes too) or
trickles during detection, sends its reply byte by byte with gaps under
the reading time-out; another program holds a port; the operator types
something that is not a number, or nothing; the tool is started through a
link, or beside a port map that can't be used. Other cases cut the run short:
the tool's output goes into a reader that ends early, or the tool gets
SIGTERM, SIGQUIT, SIGHUP or SIGINT; then the port must be free for anyone, and the
terminal as it was. While the tool waits for its last key press, only
standard input, output and error may be open, since the port must be closed
on every path. With --valgrind the tool runs under memcheck, which must
report no error and no leak.

    run_faults.py --list
    run_faults.py --tool EXE --unitsim EXE --images DIR --case NAME [--valgrind EXE]
                  [--standin] [--keep]

Exit code 77 means "skipped" (a case this machine or build can't show).
"""

import contextlib
import fcntl
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import termios

import fwharness as harness
import run_e2e  # the end-to-end cases that a fault case starts from
from fwharness import (
    BANNER,
    FAILED_END,
    HELD_COM3,
    HELP,
    IDENTIFY,
    LINE_GONE_COM3,
    LOGIC_PREPARE,
    LOGIC_SEND,
    OK,
    PRESS_ANY_KEY,
    PRODUCT,
    PRODUCT_FAILED,
    SUCCESS_LINE,
    UNCONFIRMED_END,
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


# The tool writes an image in chunks of this many bytes and shows a figure
# after each whole chunk (sent * 100 // length).
CHUNK = 10240


def case_vanish_mid_image(images):
    # The unit disappears after 300000 bytes of the logic image (about a
    # third of it): its pseudo-terminal closes, the link goes, the next write
    # fails. Which figure is on screen then depends on how much the line had
    # buffered, so the figures are checked as a run of the right ones. Every
    # chunk that ends by the vanish point was taken whole, so its figure was
    # shown; the chunk across it may fail part-way (the unit took only its
    # start), or go into the line's buffer with some after it.
    logic = images[harness.TX_XC7A35]
    vanish = 300000
    head = identified_tx() + LOGIC_PREPARE + OK + LOGIC_SEND
    tail = PRODUCT_FAILED + FAILED_END

    def check(output, records, seconds):
        figures = output[len(head) : len(output) - len(tail)]
        if not percentages(len(logic)).startswith(figures):
            raise Failure(f"the figures shown are not those of the transfer: {figures!r}")
        last = int(re.findall(r"(\d+)%", figures)[-1])
        least = vanish // CHUNK * CHUNK * 100 // len(logic)
        if not least <= last < 100:
            raise Failure(f"the transfer stopped at {last}%, not just after the unit vanished (at least {least}%)")
        received = records[3][0][0]["data"]
        if len(received) != vanish:
            raise Failure(f"the unit took {len(received)} bytes before it vanished, not {vanish}")

    return {
        "ports": {3: ["--vanish-after", str(vanish)]},
        "stdout_re": re.escape(head) + r"1%(\x08\x08\x08?\d{1,2}%)*" + re.escape(tail),
        "images_partial": {3: ("%fw -l", logic)},
        "exit": 1,
        "commands": {3: heard(57600, HELP, VERSION, IDENTIFY, announcement("%fw -l", logic))},
        "stderr_re": LINE_GONE_COM3,
        "check": check,
    }


def case_silent_after_ready(images):
    # The unit answers the announcement and takes the whole logic image, then
    # says nothing: one reading time-out of silence ends the wait, and the
    # empty reply fails the transfer.
    logic = images[harness.TX_XC7A35]
    return {
        "ports": {3: ["--ack", ""]},
        "stdout": identified_tx()
        + LOGIC_PREPARE
        + OK
        + LOGIC_SEND
        + percentages(len(logic))
        + harness.wrong_reply("SUCCESS", "")
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
        "stdout": harness.manual(3, rate) + versions(1) + PRODUCT + PRODUCT_FAILED + FAILED_END,
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
    # Every byte of every reply comes 300 ms after the one before, under the
    # 500 ms reading time-out of detection: the 75 bytes of the help reply
    # (about 22 s) are collected as one reply and match. (The margin is for
    # a busy machine: one byte that comes 200 ms late ends the reply.) The
    # version reply is read in one single read of 1000 ms, which brings its
    # first bytes only, so the unit is not identified.
    gap = 300

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


NO_PORT_READ = re.escape(
    "ERROR: no COM port number was read from the input\nCOM0: no such port (ports are numbered from 1)\n"
)
NO_RATE_READ = re.escape("ERROR: no baud rate was read from the input\n")


def operator_input_case(typed, port=3):
    """The operator's answers after a detection that found nothing (the unit on
    `port` never answers, and detection leaves its number and 1200 baud
    behind): a port that is no number is port 0, which can't be opened; a
    rate that is no number, or out of range, is refused and the port closed."""
    port_line, _, rate_line = typed.partition("\n")
    common = {"ports": {port: ["--drop-help", "1000"]}, "input": typed, "exit": 255,
              "commands": {port: heard(57600, HELP, HELP)}}  # fmt: skip
    if not port_line.strip().isdigit():
        return dict(common, stdout=BANNER + manual_port(0) + "ERROR: Opening COM0 failed !" + PRESS_ANY_KEY,
                    stderr_re=NO_PORT_READ)  # fmt: skip
    rate = rate_line.strip()
    if rate.isdigit():
        reason = re.escape(f"ERROR: {rate} baud is outside the rates a port can run at (50 to 4000000)\n")
    else:
        rate, reason = "0", NO_RATE_READ
    return dict(common, stdout=BANNER + manual_port(int(port_line)) + manual_rate(int(rate)) + PRESS_ANY_KEY,
                stderr_re=reason)  # fmt: skip


# ---------------------------------------------------------------------------
# Where the tool stands, and another program holding its port.


def place_through_link(tool, directory):
    """The tool's real file in a folder without a port map, started through a
    link in the case's folder, beside the map."""
    real = os.path.join(directory, "real")
    os.mkdir(real)
    link = os.path.join(directory, "fwupgrade")
    os.symlink(harness.place_tool(tool, real, port_map=False), link)
    os.mkdir(os.path.join(directory, "dosdevices"))
    return link


def place_beside_broken_map(kind):
    """The tool beside a "dosdevices" that can't be the map (kind "dangling"
    or "file"), or beside none at all (None)."""

    def place(tool, directory):
        copy = harness.place_tool(tool, directory, port_map=False)
        entry = os.path.join(directory, "dosdevices")
        if kind == "dangling":
            os.symlink(os.path.join(directory, "nothing"), entry)
        elif kind == "file":
            open(entry, "w").close()
        return copy

    return place


def case_started_through_link(images):
    # The unit on COM3 of the map beside the link is found and asked; the
    # real file has no map beside it.
    return {
        "place": place_through_link,
        "ports": {3: ["--device-code", "2"]},
        "stdout": BANNER + detected(3, 57600) + versions(2) + PRODUCT + UNKNOWN_PRODUCT + FAILED_END,
        "exit": 1,
        "commands": {3: heard(57600, HELP, VERSION)},
        "trace_opens": True,
    }


def broken_map_case(kind):
    # No port is used, not even the machine's own: the run ends before
    # detection, with the key press and -1.
    problem = {"dangling": "a link to nothing", "file": "not a folder"}[kind]
    return lambda images: {
        "place": place_beside_broken_map(kind),
        "ports": {},
        "stdout": PRESS_ANY_KEY,
        "stderr_re": rf"ERROR: the port map .*/dosdevices cannot be used \({problem}\); no port is used.*\n",
        "exit": 255,
        "trace_opens": True,
    }


def case_standin_without_map(images):
    # A build from stand-in images must never reach a real unit: without a
    # map it uses no port at all. (A release build keeps the usual devices,
    # so the case can't run there.)
    return {
        "standin_only": True,
        "place": place_beside_broken_map(None),
        "ports": {},
        "stdout": PRESS_ANY_KEY,
        "stderr_re": r"ERROR: this program carries stand-in firmware images .*; no port is used\n",
        "exit": 255,
        "trace_opens": True,
    }


@contextlib.contextmanager
def exclusive_holder(directory):
    """Another program has COM3's terminal in exclusive mode, without a lock;
    the flag must still be set when the tool is done."""
    fd = os.open(os.path.join(directory, "dosdevices", "com3"), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        fcntl.ioctl(fd, termios.TIOCEXCL)
        yield
        flag = struct.unpack("i", fcntl.ioctl(fd, 0x80045440, b"\0" * 4))[0]  # TIOCGEXCL
        if flag != 1:
            raise Failure("the tool cleared another program's exclusive mode")
    finally:
        fcntl.ioctl(fd, termios.TIOCNXCL)
        os.close(fd)


def uucp_lock(form):
    """COM3's device named by a UUCP lock file: of this (live) process as ASCII
    ("ascii") or as a binary int ("binary"), or of a process that has ended
    ("stale")."""

    @contextlib.contextmanager
    def hold(directory):
        device = os.path.realpath(os.path.join(directory, "dosdevices", "com3"))
        lock_dir = next((d for d in ("/run/lock", "/var/lock") if os.access(d, os.W_OK)), None)
        if lock_dir is None:
            raise harness.Skip("no UUCP lock folder is writable here (/run/lock, /var/lock need root)")
        path = os.path.join(lock_dir, "LCK.." + device[len("/dev/") :].replace("/", "_"))
        pid = os.getpid()
        if form == "stale":
            ended = subprocess.Popen(["true"])
            ended.wait()
            pid = ended.pid
        with open(path, "xb") as f:
            f.write(struct.pack("i", pid) if form == "binary" else b"%10d\n" % pid)
        try:
            yield
        finally:
            os.unlink(path)

    return hold


def held_case(hold):
    # COM3 is held: detection passes it over, the operator's choice of it fails.
    return lambda images: {
        "hold": hold,
        "ports": {3: []},
        "input": "3\n",
        "stdout": BANNER + manual_port(3) + "ERROR: Opening COM3 failed !" + PRESS_ANY_KEY,
        "stderr_re": HELD_COM3,
        "exit": 255,
    }


def map_gone_before_port_typed(command, directory, typed, limit):
    """Runs the tool with a pipe as its standard input; once it asks for the
    port, its port map goes away, and only then is `typed` typed."""

    def act(tool):
        os.rename(os.path.join(directory, "dosdevices"), os.path.join(directory, "dosdevices.gone"))
        tool.stdin.write(typed.encode())
        tool.stdin.close()

    return harness.run_acting_when(command, directory, limit, re.escape("Enter the COM port number : ") + "$", act,
                           input_open=True)  # fmt: skip


def case_map_gone_mid_run(images):
    # The map the run started with is the one it uses: its COM3 is missing
    # once the folder has gone, and the run never falls back to the
    # machine's own ports (nor, in a build from stand-in images, to "no
    # map").
    return dict(
        operator_input_case("3\n"),
        run=map_gone_before_port_typed,
        stdout=BANNER + manual_port(3) + "ERROR: Opening COM3 failed !" + PRESS_ANY_KEY,
        stderr_re=r"COM3 \(.*/dosdevices/com3\): No such file or directory\n",
        trace_opens=True,
    )


def case_stale_uucp_lock(images):
    # A lock file whose process has gone holds nothing: the unit is found.
    return dict(case_started_through_link(images), place=harness.place_tool, hold=uucp_lock("stale"), trace_opens=False)


def case_hang_up_after_success(images):
    # The unit drops its line (a USB serial port that goes as the unit
    # reboots) 200 ms after its "SUCCESS" for the firmware: the
    # acknowledgement counts, and the console that can't come back on that
    # line leaves the restart unconfirmed.
    case = harness.full_update(images, 3, 57600, harness.TX_XC7A35)
    case["stdout"] = case["stdout"].replace(SUCCESS_LINE + PRESS_ANY_KEY, UNCONFIRMED_END)
    case["ports"] = {3: ["--hang-up-after-ack", "200"]}
    case["exit"] = 2
    # Each read and setting after the hang-up gives its reason.
    case["stderr_re"] = (
        r"(COM3 \(.*/dosdevices/com3 -> /dev/pts/\d+\): \w+: Input/output error"
        r" \(the line has gone: unplugged, or the unit is off\)\n)+"
    )
    return case


def case_output_into_closed_reader(images):
    # The operator's log goes into "head -c 900", which ends long before the
    # transfer: the update must go on to the end, both images whole.
    case = run_e2e.case_full_tx_xc7a35(images)
    case["stdout"] = case["stdout"][:900]
    pipeline = ["bash", "-c", '"$0" | head -c 900; exit "${PIPESTATUS[0]}"']
    case["run"] = lambda command, *args: harness.run_with_pipe(pipeline + command, *args)
    return case


def detection_moves_on(flood_args, check):
    # COM3 answers the help command at 115200 with an endless stream, taking
    # no other command while it streams; detection's noise at the next rate
    # ends it. Detection goes on to the unit on COM5, whose logic device the
    # tool doesn't know.
    return {
        "ports": {3: ["--baud", "115200"] + flood_args, 5: ["--device-code", "2"]},
        "stdout": BANNER + detected(5, 57600) + versions(2) + PRODUCT + UNKNOWN_PRODUCT + FAILED_END,
        "exit": 1,
        "commands": {3: heard(115200, HELP, HELP), 5: heard(57600, HELP, VERSION)},
        "check": check,
    }


def case_detection_zero_byte_flood(images):
    # Zero bytes at 4 Mbit/s: each of the two attempts ends once the reply
    # buffer's worth (1,023,999 bytes, about 2.6 s) has arrived. Were zero
    # bytes not counted, each would run into the 60 s bound instead.
    def check(output, records, seconds):
        if seconds >= 2 * 60:
            raise Failure(f"the run took {seconds:.1f} s: zero bytes did not count towards the reply's bound")

    return detection_moves_on(["--flood-help", "\\x00", "--flood-pace", "4000000"], check)


def case_detection_trickle(images):
    # One byte every 100 ms, never a silent 500 ms: each of the two attempts
    # stops 2 s after its first read showed a reply that is no answer. The
    # run takes about 15 s; were the attempts held to the 60 s bound of a
    # collection, it would take at least 120 s.
    def check(output, records, seconds):
        if seconds >= 2 * 60:
            raise Failure(f"the run took {seconds:.1f} s: each attempt waited out its 60 s bound")

    return detection_moves_on(["--flood-help", "x", "--flood-pace", "100"], check)


def case_talking_port_before_unit(images):
    # COM2 talks without a pause at every rate (GPS sentences, from the first
    # help command on): each attempt there stops soon after its reply is
    # known wrong, so detection gets past it in about 30 s, not 12 minutes.
    # COM4's unit garbles the start of its first answer, sent a byte every
    # 10 ms over several reads; the answer is read to its end, so the second
    # attempt finds the unit, whose logic device the tool doesn't know.
    gps = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\\r\\n"
    every_rate = [(rate, HELP) for rate in (115200, 9600, 57600, 4800, 2400, 1200) for _ in range(2)]
    return {
        "ports": {
            2: ["--baud", "0", "--flood-help", gps],
            4: ["--device-code", "2", "--garble-help", "1", "--garble-help-head", "--reply-gap", "10"],
        },
        "stdout": BANNER + detected(4, 57600) + versions(2) + PRODUCT + UNKNOWN_PRODUCT + FAILED_END,
        "exit": 1,
        "commands": {2: every_rate, 4: heard(57600, HELP, HELP, VERSION)},
    }


def case_error_behind_zero_byte_ack(images):
    # "SUCCESS", a zero byte, then an error: the zero byte is noise, dropped,
    # and the whole reply is no acknowledgement.
    logic = images[harness.TX_XC7A35]
    return {
        "ports": {3: ["--ack", "SUCCESS\\x00\\r\\nERROR: flash"]},
        "stdout": identified_tx() + LOGIC_PREPARE + OK + LOGIC_SEND + percentages(len(logic))
        + harness.wrong_reply("SUCCESS", "SUCCESS\r\nERROR: flash") + PRODUCT_FAILED + FAILED_END,
        "images": {3: [("%fw -l", logic)]},
        "exit": 1,
        "commands": {3: heard(57600, HELP, VERSION, IDENTIFY, announcement("%fw -l", logic))},
    }


def case_stops_reading_after_ready(images):
    # The unit answers the announcement and then reads nothing: the line
    # fills up, and the write that can't go on fails 60 s after it began.
    logic = images[harness.TX_XC7A35]
    head = identified_tx() + LOGIC_PREPARE + OK + LOGIC_SEND

    def check(output, records, seconds):
        if seconds < 10 + 60:
            raise Failure(f"the run took {seconds:.1f} s, less than the silence after Ready and the write bound")

    return {
        "ports": {3: ["--stop-reading-after-ready"]},
        "stdout_re": re.escape(head) + r"1%(\x08\x08\x08?\d{1,2}%)*" + re.escape(PRODUCT_FAILED + FAILED_END),
        "exit": 1,
        "images_partial": {3: ("%fw -l", logic, 0)},
        "commands": {3: heard(57600, HELP, VERSION, IDENTIFY, announcement("%fw -l", logic))},
        "stderr_re": r"COM3 \(.*/dosdevices/com3 -> /dev/pts/\d+\): write: Connection timed out\n",
        "check": check,
    }


def other_user_opens(device):
    """Problems found opening the device as another user than the tool's (a
    non-root one: root passes the exclusive flag)."""
    opener = [sys.executable, "-c", "import os, sys; os.close(os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))", device]  # fmt: skip
    if os.geteuid() == 0:
        setpriv = shutil.which("setpriv")
        if not setpriv:
            print("notice: no setpriv, the open by another user was not tried")
            return []
        os.chmod(device, 0o666)  # the pseudo-terminal is root's own otherwise
        opener[:0] = [setpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    result = subprocess.run(opener, cwd="/", capture_output=True, timeout=30)
    if result.returncode != 0:
        return [f"another user could not open the port after the run: {result.stderr.decode(errors='replace')}"]
    return []


def interrupted_when(sig, shown, port):
    """Runs the tool with a pipe as its standard input and sends it `sig` once
    its output matches `shown`; then another user must be able to open the
    port."""

    def run(command, directory, typed, limit):
        device = os.readlink(os.path.join(directory, "dosdevices", f"com{port}"))
        result = harness.run_acting_when(command, directory, limit, shown, lambda tool: tool.send_signal(sig))
        return result._replace(problems=result.problems + other_user_opens(device))

    return run


def interrupted_mid_image(sig):
    # SIGQUIT (Ctrl-\\) too: its default action would leave the port
    # exclusive and dump core. A unit that reads along takes the whole image
    # in a few milliseconds, less than a busy machine may take to deliver the
    # signal; this one stops reading after "Ready", so the tool is still in
    # the image (its write held by the full line, for up to a minute) when
    # the signal comes.
    def case(images):
        logic = images[harness.TX_XC7A35]
        head = identified_tx() + LOGIC_PREPARE + OK + LOGIC_SEND
        return {
            "ports": {3: ["--stop-reading-after-ready"]},
            "run": interrupted_when(sig, re.escape(LOGIC_SEND) + r"1%", 3),
            "stdout_re": re.escape(head) + r"1%(\x08\x08\x08?\d{1,2}%)*",
            "stderr_re": rf"\nInterrupted by {sig.name}; the serial port is closed\.\n",
            "exit": 128 + sig,
            "images_partial": {3: ("%fw -l", logic, 0)},
            "commands": {3: heard(57600, HELP, VERSION, IDENTIFY, announcement("%fw -l", logic))},
        }

    return case


def case_sighup_in_reboot_wait(images):
    # Both images are in; the tool sleeps through the unit's reboot.
    case = run_e2e.case_full_tx_xc7a35(images)
    waiting = "Please wait while the unit is rebooting ........... "
    head = case.pop("stdout").split(waiting)[0] + waiting
    case["run"] = interrupted_when(signal.SIGHUP, re.escape(waiting) + r"[ \d]{3}%", 3)
    case["stdout_re"] = re.escape(head) + r"([ \d]{3}%\x08{4})*[ \d]{3}%"
    case["stderr_re"] = r"\nInterrupted by SIGHUP; the serial port is closed\.\n"
    case["exit"] = 129
    return case


def case_sigint_at_key_wait(images):
    # The tool waits for its key with the terminal in its own mode: SIGINT
    # gives the terminal its settings back (run_on_terminal checks them).
    case = run_e2e.case_key_press_on_terminal(images)
    case["run"] = lambda *args: harness.run_on_terminal(*args, interrupt=signal.SIGINT)
    case["stderr_re"] += r"\nInterrupted by SIGINT; the serial port is closed\.\n"
    case["exit"] = 130
    return case


def case_noisy_unit_then_interrupt_at_key_wait(images):
    # A zero byte (line noise) before each acknowledgement, an escape
    # sequence in the device name, shown as text, and a unit whose prompt
    # comes back 60 s into the reboot wait and is dropped with the rest: its
    # console's answer to the detection command, asked once after the wait,
    # confirms the restart. The update has succeeded and said so: an
    # interrupt at the last key wait ends the run with that result (0).
    case = harness.full_update(images, 3, 57600, harness.TX_XC7A35, model="K\\x1B]0;X")
    case["ports"] = {
        3: ["--ack", "\\x00SUCCESS", "--version", "1.0.8\\r\\nK\\x1b]0;X 1.3 1\\r\\n>>", "--boot-delay", "60000"]
    }
    case["commands"][3] += heard(57600, HELP)
    case["run"] = lambda *args: harness.run_on_terminal(*args, interrupt=signal.SIGINT)
    case["stderr_re"] = r"\nInterrupted by SIGINT; the serial port is closed\.\n"
    return case


def case_log_on_full_disk(images):
    # Every write of the log fails: the first failure is told at once, the
    # update goes on to its own result and exit code, and after the result a
    # second line says the record is incomplete.
    case = run_e2e.case_missing_ready(images)
    case["args"] = ["--no-wait", "--log", "/dev/full"]
    case["run"] = harness.run_with_pipe
    case["stdout"] = case["stdout"][: -len(PRESS_ANY_KEY)]
    case["stderr_re"] = (
        "WARNING: the run log /dev/full cannot be written: No space left on device; the run goes on without it\n"
        "WARNING: the run log /dev/full is incomplete: it ends where its writing failed\n"
    )
    return case


def case_sigint_at_key_wait_after_update(images):
    # The update has failed and said so: an interrupt at the last key wait
    # ends the run with that result (1), not as an interrupted run.
    case = run_e2e.case_missing_ready(images)
    case["run"] = lambda *args: harness.run_on_terminal(*args, interrupt=signal.SIGINT)
    case["stderr_re"] = r"\nInterrupted by SIGINT; the serial port is closed\.\n"
    return case


def station_interrupted(sig):
    """A station of three units that stop reading after "Ready", so that each
    run is still in its logic image when the interrupt comes: SIGINT as
    Ctrl-C at the station's terminal (every process on it gets it), SIGTERM
    to the station alone (which stops its units' runs itself). Each unit's
    run ends as an interrupted run ends, the summary says where each was, no
    port is left held and the terminal is as it was."""

    def case(images):
        logic = images[harness.TX_XC7A35]
        ports = [3, 5, 7]
        # The board's figure: the image is on the line (the unit stopped
        # reading it, so the run stays there for a minute).
        shown = "".join(rf"(?=.*COM{port}\s+TX\s+XC7A35_484\s+logic image [1-9]\d*%)" for port in ports)

        def run(command, directory, typed, limit):
            command = command + ["--port", ",".join(map(str, ports))]
            devices = [os.readlink(os.path.join(directory, "dosdevices", f"com{port}")) for port in ports]
            # SIGINT as Ctrl-C typed at the station's terminal; SIGTERM to the
            # station alone.
            keys = b"\x03" if sig == signal.SIGINT else lambda tool: tool.send_signal(sig)
            result = harness.run_on_controlling_terminal(command, directory, limit, shown, keys)
            return result._replace(problems=result.problems + [p for d in devices for p in other_user_opens(d)])

        row = r"1\.00\.08 / K6G-TX 1\.03\s+-\s+interrupted in logic image"
        return {
            "ports": {port: ["--stop-reading-after-ready"] for port in ports},
            "run": run,
            "stdout_re": ".*",
            "stderr_re": rf"(COM\d: Interrupted by SIG(INT|TERM); the serial port is closed\.\n){{3}}"
                         rf"Interrupted by {sig.name}; every unit's run was stopped and its port closed\.\n",
            "exit": 128 + sig,
            "images_partial": {port: ("%fw -l", logic, 0) for port in ports},
            "commands": {port: heard(57600, HELP, VERSION, IDENTIFY, announcement("%fw -l", logic)) for port in ports},
            "check": harness.station_check({port: ("TX", "XC7A35_484", row, "interrupted in logic image")
                                            for port in ports}, "3 units, 0 updated, 3 not\r\n",
                                           board=False),
        }  # fmt: skip

    return case


# Name, function, ctest time-out in seconds. The whole update (about three
# minutes), an end-to-end case already, runs here under memcheck only, to
# show that a successful run leaves nothing behind either.
CASES = [
    ("whole_update", run_e2e.case_full_tx_xc7a35, 400),
    ("hang_up_after_success", case_hang_up_after_success, 320),
    ("output_into_closed_reader", case_output_into_closed_reader, 320),
    ("talking_port_before_unit", case_talking_port_before_unit, 150),
    ("detection_trickle", case_detection_trickle, 150),
    ("stops_reading_after_ready", case_stops_reading_after_ready, 150),
    ("sighup_in_reboot_wait", case_sighup_in_reboot_wait, 150),
    ("sigterm_mid_image", interrupted_mid_image(signal.SIGTERM), 90),
    ("sigquit_mid_image", interrupted_mid_image(signal.SIGQUIT), 90),
    ("station_ctrl_c_mid_image", station_interrupted(signal.SIGINT), 120),
    ("station_sigterm_mid_image", station_interrupted(signal.SIGTERM), 120),
    ("detection_zero_byte_flood", case_detection_zero_byte_flood, 180),
    ("sigint_at_key_wait", case_sigint_at_key_wait, 60),
    ("sigint_at_key_wait_after_update", case_sigint_at_key_wait_after_update, 60),
    ("log_on_full_disk", case_log_on_full_disk, 90),
    ("noisy_unit_then_interrupt_at_key_wait", case_noisy_unit_then_interrupt_at_key_wait, 320),
    ("reply_byte_by_byte", case_reply_byte_by_byte, 120),
    ("vanish_mid_image", case_vanish_mid_image, 90),
    ("silent_after_ready", case_silent_after_ready, 90),
    ("error_behind_zero_byte_ack", case_error_behind_zero_byte_ack, 90),
    ("flood", case_flood, 90),
    ("port_held_by_another_program", case_port_held_by_another_program, 60),
    ("operator_types_port_name", lambda images: operator_input_case("COM3\n"), 60),
    ("operator_types_rate_word", lambda images: operator_input_case("3\nfast\n"), 60),
    # The port or rate left by detection (COM32, 1200 baud) is no answer.
    ("end_of_input_at_port", lambda images: operator_input_case("\x04", port=32), 60),
    ("empty_line_at_port", lambda images: operator_input_case("\n", port=32), 60),
    ("end_of_input_at_rate", lambda images: operator_input_case("32\n\x04", port=32), 60),
    ("rate_out_of_range", lambda images: operator_input_case("3\n4000001\n"), 60),
    ("started_through_link", case_started_through_link, 60),
    ("map_is_dangling_link", broken_map_case("dangling"), 30),
    ("map_is_plain_file", broken_map_case("file"), 30),
    ("standin_without_map", case_standin_without_map, 30),
    ("map_gone_mid_run", case_map_gone_mid_run, 60),
    ("port_in_exclusive_mode", held_case(exclusive_holder), 60),
    ("port_under_uucp_lock", held_case(uucp_lock("ascii")), 60),
    ("port_under_binary_uucp_lock", held_case(uucp_lock("binary")), 60),
    ("stale_uucp_lock", case_stale_uucp_lock, 60),
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


# The machine's own serial devices.
MACHINE_PORT = re.compile(r"/dev/(ttyS|ttyUSB|ttyACM)\d+")


def machine_ports_opened(trace):
    """The machine's serial devices that the traced run opened (or tried to)."""
    with open(trace) as f:
        return sorted({m.group(0) for line in f if "open" in line for m in [MACHINE_PORT.search(line)] if m})


def main():
    args = harness.command_line(__doc__, CASES, ("tool", "unitsim", "images"), ("valgrind",))
    function, timeout = next((f, t) for n, f, t in CASES if n == args.case)
    notes = []

    def body(directory):
        case = function(harness.Images(args.images, None, directory))
        if case.get("standin_only") and not args.standin:
            raise harness.Skip("a release build reaches the machine's ports without a map")
        command = [case.get("place", harness.place_tool)(args.tool, directory)] + case.get("args", [])
        log = os.path.join(directory, "memcheck.log") if args.valgrind else None
        if log:
            command[:0] = [args.valgrind, "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=all",
                           "--errors-for-leak-kinds=all", "--track-fds=yes", "--error-exitcode=99",
                           f"--log-file={log}"]  # fmt: skip
        # Which devices the tool opens, where strace can tell.
        trace = os.path.join(directory, "opens.trace") if case.get("trace_opens") and not log else None
        if trace and not shutil.which("strace"):
            notes.append("strace is not installed: the devices opened were not traced")
            trace = None
        if trace:
            command[:0] = ["strace", "-f", "-qq", "-e", "trace=open,openat,creat", "-o", trace]
        with harness.units(args.unitsim, directory, case["ports"]) as sims:
            with case.get("hold", lambda _: contextlib.nullcontext())(directory):
                if "run" in case:
                    run = case["run"](command, directory, case.get("input", ""), timeout - 15)
                else:
                    # strace's own log is open in the traced process, as memcheck's is.
                    run = harness.run_on_terminal(command, directory, case.get("input", ""), timeout - 15, log or trace)
            problems = harness.check_run(case, run, sims, args.standin)
        if log:
            problems += memcheck_problems(log, run.code)
        if trace:
            opened = machine_ports_opened(trace)
            if opened:
                problems.append(f"the tool opened devices of this machine: {opened}")
        if problems:
            raise Failure("\n".join(problems))
        return "; ".join(notes + [f"the tool ran {run.seconds:.1f} s"])

    return harness.run_reported("faults", args.case, args.keep, body)


if __name__ == "__main__":
    sys.exit(main())
