"""The runners' shared harness: what the operator sees and the unit hears,
the images as the unit must receive them, and the running and checking of a
case against the real executable and unitsim on pseudo-terminals.

The end-to-end, fault, Wine, package and release runners import it; they
are started with tests/harness, tests/e2e and tools/images on PYTHONPATH
(tests/CMakeLists.txt, tools/release/release.sh).

A case is a dict: the simulated ports and unitsim's options for each, the
operator's typed input, and the expected transcript (or a pattern for it),
standard error, exit code, images received and commands heard, as
(rate, command) pairs in order; check_run compares a run with it.
"""

import argparse
import base64
import collections
import contextlib
import fcntl
import hashlib
import json
import os
import pty
import re
import select
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import threading
import time

import catalogue  # the release's image catalogue (tools/images)
import intelhex  # the image files' records and the tool's conversion (tools/images)

# ---------------------------------------------------------------------------
# The images, converted independently of the tool (tools/images/intelhex.py):
# every data byte at (second byte of the latest extended linear address) *
# 65536 + record address, 0xFF wherever nothing lands, the image ending with
# the last data record of the text. Which file is which image is the
# catalogue's (FWUPG_CATALOGUE names another catalogue file than the
# release's).

CATALOGUE = catalogue.load()
IMAGE_FILES = CATALOGUE.files
MICROCONTROLLER = CATALOGUE.microcontroller
# The logic-device codes the cases' units report, by the tool's own names
# for them (the DEVICE_* table of src/UnitUpdate.h, through the catalogue
# reader); which image each gets is the catalogue's.
DEVICE_XC7A35 = catalogue.DEVICE_CODES["XC7A35_484"]
DEVICE_ENG_SAMPLE = catalogue.DEVICE_CODES["XC7A100_484"]


def logic_entry(device_code, unit):
    entry = CATALOGUE.logic_entry(device_code, unit)
    if entry is None:
        raise ValueError(f"the catalogue has no {unit} image for device code {device_code}")
    return entry


# The logic image of the TX unit that most cases play (identified_tx below).
TX_XC7A35 = logic_entry(DEVICE_XC7A35, "TX")


image_checksum = intelhex.checksum


class Images:
    """The converted images, made on first use (and checked against hexconv)."""

    def __init__(self, directory, hexconv, scratch):
        self.directory, self.hexconv, self.scratch, self.cache = directory, hexconv, scratch, {}

    def __getitem__(self, index):
        if index not in self.cache:
            path = os.path.join(self.directory, IMAGE_FILES[index])
            with open(path, "rb") as f:
                try:
                    image = intelhex.convert(f.read())
                except intelhex.RecordError as error:
                    raise ValueError(f"{path}: {error}") from None
            if self.hexconv:
                out = os.path.join(self.scratch, f"hexconv{index}.bin")
                subprocess.run([self.hexconv, path, out], check=True, timeout=60)
                with open(out, "rb") as f:
                    if f.read() != image:
                        raise AssertionError(f"hexconv and this test convert {path} differently")
            self.cache[index] = image
        return self.cache[index]


# ---------------------------------------------------------------------------
# What the operator sees, and what the unit hears.

BANNER = (
    f"\n\rYou are about to upload the firmware version {CATALOGUE.version}"
    "\n\r\n\rDetecting COM port and Baud Rate.................."
)
PRODUCT = "Checking product .......... "
ENG_SAMPLE = "ENG. SAMPLE detected\r\n"
UNKNOWN_PRODUCT = "FAILED, Unknown product\r\n"
PRODUCT_FAILED = "FAILED\r\n"
TX_OK = "TX OK\r\nKorvex 6G SDI EXTENDER TX\r\n>>\r\n"
RX_OK = "RX OK\r\nKorvex 6G SDI EXTENDER RX\r\n>>\r\n"
LOGIC_PREPARE = "Preparing to Upload Programmable Logic ............ "
LOGIC_SEND = "Sending Programmable Logic data ................... "
FIRMWARE_PREPARE = "Preparing to Upload Firmware ...................... "
FIRMWARE_SEND = "Sending data ...................................... "
OK = "OK\r\n"
NOT_READY = "FAILED [Unit not ready]\r\n"
SUCCESS_LINE = "\n\r\n\rThe update was successful, the unit is now operational\r\n"
PRESS_ANY_KEY = "\r\nPress any key to exit"
FAILED_END = "\n\rERROR: The update was not successful.\r\n" + PRESS_ANY_KEY
UNCONFIRMED_END = "\n\rWARNING: The unit did not confirm its restart; check it before use.\r\n" + PRESS_ANY_KEY

HELP = "%%%help -c version"
VERSION = "%%%fw -v"
IDENTIFY = "%%%fw -p"


def detected(port, rate):
    return f"OK\r\nCOM PORT Number : {port}\r\nBaud rate       : {rate} \r\n\r\n"


def manual_port(port):
    return f"FAILED\n\r\n\rEnter the COM port number : \r\nOpening COM{port}...................."


def manual_rate(rate):
    return f"OK\r\n\n\r\n\rEnter the BAUD RATE       : \r\nSetting baud rate at {rate}.........."


def manual(port, rate):
    """A detection that found nothing, and the port and rate the operator typed accepted."""
    return BANNER + manual_port(port) + manual_rate(rate) + OK


def versions(code, model="K6G-TX"):
    # The unit's default reply "1.0.8 <model> 1.3 <code>".
    return (
        "Checking firmware version ..............  1.00.08 \r\n"
        f"Checking fpga version ..................  {model} 1.03  device:{code}\r\n"
    )


def identified_tx(port=3, rate=57600):
    """Detection of a TX XC7A35 unit, its versions and a product check that passes."""
    return BANNER + detected(port, rate) + versions(1) + PRODUCT + TX_OK


def percentages(length):
    """The figures of an image transfer in writes of 10240 bytes."""
    out = "1%"
    sent = 0
    percentage = 0
    while sent != length:
        erase = "\b" * (2 if percentage <= 9 else 3)
        if length - sent > 10240:
            sent += 10240
            percentage = sent * 100 // length
            out += f"{erase}{percentage}%"
        else:
            out += f"{erase}100%"
            sent = length
    return out


def reboot_wait():
    figures = "".join("%3d%%" % (i * 100 // 46) + "\b" * 4 for i in range(46))
    return " OK\n\r\n\rPlease wait while the unit is rebooting ........... " + figures + "100%\b\b\b\b100%"


def wrong_reply(expected, received):
    return (
        f"\r\nExpected : {expected}  received : {received}\r\n"
        "\r\nError: Expected response did  not matched !\r\n"
    )


def announcement(command, image):
    """The announcement as it arrives: the no-echo prefix "%%", then the command."""
    return f"%%{command} {image_checksum(image)} {len(image)}"


def heard(rate, *commands):
    return [(rate, command) for command in commands]



def full_update(images, port, rate, logic, role_ok=TX_OK, model="K6G-TX", eng_sample=False, identifications=1):
    """A whole update of the unit on `port`, found at `rate`, that takes
    catalogue entry `logic` and the firmware."""
    logic_image, firmware = images[logic], images[MICROCONTROLLER]
    return {
        "stdout": "".join([
            BANNER, detected(port, rate), versions(4 if eng_sample else 1, model), PRODUCT,
            ENG_SAMPLE if eng_sample else "", role_ok,
            LOGIC_PREPARE, OK, LOGIC_SEND, percentages(len(logic_image)), OK,
            FIRMWARE_PREPARE, OK, FIRMWARE_SEND, percentages(len(firmware)),
            reboot_wait(), SUCCESS_LINE, PRESS_ANY_KEY,
        ]),  # fmt: skip
        "exit": 0,
        "images": {port: [("%fw -l", logic_image), ("%fw -h", firmware)]},
        "commands": {
            port: heard(rate, HELP, VERSION, *[IDENTIFY] * identifications, announcement("%fw -l", logic_image))
            + heard(115200, announcement("%fw -h", firmware))
        },
    }


# Standard error when another program holds COM3: its exclusive mode (which
# keeps out all but root) or its lock.
HELD_COM3 = r"COM3 \(.*/dosdevices/com3 -> /dev/pts/\d+\): (held by another program \(.*\)|Device or resource busy.*)\n"

# Standard error when COM3's unit goes away in the middle of a write.
LINE_GONE_COM3 = r"COM3 \(.*/dosdevices/com3 -> /dev/pts/\d+\): write: .*\n"

# ---------------------------------------------------------------------------
# Running and checking a case.


class Failure(Exception):
    pass


# What a run of the tool gave: its output, exit code and standard error, the
# seconds it took, and problems seen while it ran.
Run = collections.namedtuple("Run", "output code err seconds problems")


def place_tool(tool, directory, port_map=True):
    """The tool in the case's directory, beside a port map with no entry yet."""
    copy = os.path.join(directory, os.path.basename(tool))
    try:
        os.link(tool, copy)
    except OSError:
        shutil.copy2(tool, copy)
    # The folder is the whole port map, even with no unit in it.
    if port_map:
        os.mkdir(os.path.join(directory, "dosdevices"))
    return copy


def start_unitsim(unitsim, directory, port, args):
    record = os.path.join(directory, f"record-com{port}")
    command = [unitsim, "--dir", directory, "--com", str(port), "--record", record] + args
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    ready, _, _ = select.select([process.stdout], [], [], 10)
    line = process.stdout.readline().decode(errors="replace") if ready else ""
    if not line.startswith(f"unitsim: com{port} -> "):
        process.kill()
        _, err = process.communicate()
        raise Failure(f"unitsim on COM{port} did not start: {line!r} {err.decode(errors='replace')}")
    return process, record


def stop_unitsim(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    err = process.stderr.read().decode(errors="replace")
    if process.returncode != 0 or err:
        raise Failure(f"unitsim ended with {process.returncode}: {err}")


@contextlib.contextmanager
def units(unitsim, directory, ports):
    """One unitsim per port, as {port: (process, record)}; none outlives the block."""
    sims = {}
    try:
        for port, sim_args in ports.items():
            sims[port] = start_unitsim(unitsim, directory, port, sim_args)
        yield sims
    finally:
        for process, _ in sims.values():
            if process.poll() is None:
                process.kill()
                process.wait()


def run_with_pipe(command, directory, typed, limit, env=None):
    """Runs the tool with a pipe holding `typed` as its standard input."""
    started = time.monotonic()
    try:
        result = subprocess.run(
            command, input=typed.encode(), capture_output=True, cwd=directory, timeout=limit, env=env
        )
    except subprocess.TimeoutExpired as e:
        raise Failure(f"the tool did not end within {limit} s; it printed {e.stdout!r}")
    return Run(result.stdout, result.returncode, result.stderr, time.monotonic() - started, [])


def port_args(args, directory):
    """The arguments with each "{ptsN}" as the pseudo-terminal that the
    simulated unit's dosdevices/comN leads to, known once the unit runs."""
    def device(match):
        return os.path.realpath(os.path.join(directory, "dosdevices", f"com{match.group(1)}"))

    return [re.sub(r"\{pts(\d+)\}", device, arg) for arg in args]


def run_all(case, command, directory, limit, env=None):
    """The runs of a case with "runs", as [(planned, Run)]: one after the other,
    or with "together" all at once, where a run with "after" starts only once
    that text is in the output of every run without it."""
    if not case.get("together"):
        return [(planned, run_with_pipe(command + port_args(planned.get("args", []), directory), directory,
                                         planned.get("input", ""), limit, env)) for planned in case["runs"]]  # fmt: skip
    started = time.monotonic()
    outputs, readers = {}, []

    def start(k, planned):
        process = subprocess.Popen(command + port_args(planned.get("args", []), directory), stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=directory, env=env)  # fmt: skip
        process.stdin.write(planned.get("input", "").encode())
        process.stdin.close()
        outputs[k] = (process, bytearray(), bytearray(), time.monotonic())
        for stream, sink in ((process.stdout, outputs[k][1]), (process.stderr, outputs[k][2])):
            reader = threading.Thread(target=lambda s=stream, b=sink: [b.extend(c) for c in iter(s.read1, b"")])
            reader.start()
            readers.append(reader)

    first = [k for k, planned in enumerate(case["runs"]) if "after" not in planned]
    ended = {}
    try:
        for k in first:
            start(k, case["runs"][k])
        for k, planned in enumerate(case["runs"]):
            if "after" not in planned:
                continue
            while not all(planned["after"].encode() in outputs[j][1] for j in first):
                if time.monotonic() - started > limit or any(outputs[j][0].poll() is not None for j in first):
                    shown = [bytes(outputs[j][1][-200:]) for j in first]
                    raise Failure(f"not every run printed {planned['after']!r}: {shown}")
                time.sleep(0.2)
            start(k, planned)
        for k, planned in enumerate(case["runs"]):
            try:
                outputs[k][0].wait(timeout=max(1.0, limit - (time.monotonic() - started)))
            except subprocess.TimeoutExpired:
                raise Failure(f"{planned.get('args')}: the tool did not end within {limit} s; it printed "
                              f"{bytes(outputs[k][1][-400:])!r}")  # fmt: skip
            ended[k] = time.monotonic()
    finally:
        for process, *_ in outputs.values():
            if process.poll() is None:
                process.kill()
                process.wait()
        for reader in readers:
            reader.join(timeout=10)
    return [
        (planned, Run(bytes(outputs[k][1]), outputs[k][0].returncode, bytes(outputs[k][2]), ended[k] - outputs[k][3], []))
        for k, planned in enumerate(case["runs"])
    ]


def run_acting_when(command, directory, limit, shown, act, input_open=False):
    """Runs the tool with a pipe as its standard input, closed at once unless
    `input_open`, and calls act(tool) once its output matches `shown`."""
    started = time.monotonic()
    tool = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            cwd=directory)  # fmt: skip
    output, acted = b"", False
    try:
        if not input_open:
            tool.stdin.close()
        while True:
            if time.monotonic() - started > limit:
                raise Failure(f"the tool did not end within {limit} s; it printed {output[-400:]!r}")
            ready, _, _ = select.select([tool.stdout], [], [], 0.1)
            if ready:
                chunk = os.read(tool.stdout.fileno(), 1 << 16)
                if not chunk:
                    break
                output += chunk
            if not acted and re.search(shown, output.decode("latin-1"), re.S):
                act(tool)
                acted = True
        tool.wait(timeout=10)
    finally:
        if tool.poll() is None:
            tool.kill()
            tool.wait()
    problems = [] if acted else [f"the tool ended before it showed {shown!r}"]
    return Run(output, tool.returncode, tool.stderr.read(), time.monotonic() - started, problems)


def open_descriptors(pid):
    """The process's open descriptors other than 0, 1 and 2, with their targets."""
    found = {}
    for name in os.listdir(f"/proc/{pid}/fd"):
        with contextlib.suppress(OSError):
            if int(name) > 2:
                found[int(name)] = os.readlink(f"/proc/{pid}/fd/{name}")
    return found


def descriptors_left_open(pid, valgrind_log):
    """What the tool holds open besides standard input, output and error;
    under memcheck, less the checker's log and its descriptors at the top of
    the table."""
    return {
        fd: target
        for fd, target in open_descriptors(pid).items()
        if not valgrind_log or (fd < 1000 and target != valgrind_log)
    }


def key_wait_problems(output, leftover, before, after):
    """What went wrong around the key wait: no wait at all (`leftover` None),
    descriptors held while waiting, the terminal's settings not given back."""
    problems = []
    if leftover is None:
        problems.append(f"the tool ended without waiting for a key; it printed {output!r}")
    elif leftover:
        problems.append(f"descriptors left open at the end of the run: {leftover}")
    if after != before:
        problems.append(f"the terminal's settings were not restored: {before} -> {after}")
    return problems


def run_on_terminal(command, directory, typed, limit, valgrind_log=None, interrupt=None, key_wait=True):
    """Runs the tool with a terminal as its standard input (output to a pipe).

    The numbers are typed as an operator types them. At "Press any key" the
    tool must wait for a key of its own, not take the line end left behind
    by the last number, must read it without echo, and must give the
    terminal its settings back afterwards. While it waits, its port must be
    closed: only standard input, output and error may be left open (and,
    under memcheck, the checker's own log and the descriptors it keeps at
    the top of the table). With `interrupt`, that signal is sent instead of
    the key, and the terminal must get its settings back all the same.
    Without `key_wait` the tool must end by itself, waiting for no key.
    """
    master, slave = pty.openpty()
    before = termios.tcgetattr(slave)
    started = time.monotonic()
    process = subprocess.Popen(command, stdin=slave, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=directory)
    try:
        os.write(master, typed.encode())
        output, leftover = b"", None
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
            lflag = termios.tcgetattr(slave)[3]
            waiting = output.endswith(PRESS_ANY_KEY.encode()) and not lflag & termios.ICANON
            if leftover is None and waiting and process.poll() is None:
                # In its key read now.
                if lflag & termios.ECHO:
                    raise Failure("while waiting for the key, the terminal still echoes")
                leftover = descriptors_left_open(process.pid, valgrind_log)
                if interrupt:
                    process.send_signal(interrupt)
                else:
                    os.write(master, b"k")
        try:
            process.wait(timeout=max(5.0, limit - (time.monotonic() - started)))
        except subprocess.TimeoutExpired:
            raise Failure("the tool did not end after the key press")
        problems = key_wait_problems(output, leftover if key_wait else {}, before, termios.tcgetattr(slave))
        return Run(output, process.returncode, process.stderr.read(), time.monotonic() - started, problems)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        os.close(master)
        os.close(slave)


def describe_difference(expected, actual):
    at = next(
        (k for k in range(min(len(expected), len(actual))) if expected[k] != actual[k]),
        min(len(expected), len(actual)),
    )
    lo = max(0, at - 80)
    return (
        f"transcripts differ at byte {at} (expected {len(expected)} bytes, got {len(actual)})\n"
        f"  expected: ...{expected[lo:at + 80]!r}\n"
        f"  actual:   ...{actual[lo:at + 80]!r}"
    )


def read_records(record):
    images = []
    k = 1
    while os.path.exists(os.path.join(record, f"image{k}.meta")):
        with open(os.path.join(record, f"image{k}.meta")) as f:
            meta = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        with open(os.path.join(record, f"image{k}.bin"), "rb") as f:
            meta["data"] = f.read()
        images.append(meta)
        k += 1
    commands = []
    path = os.path.join(record, "commands.log")
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                _, rate, command = line.rstrip("\n").split(" ", 2)
                commands.append((int(rate), command))
    return images, commands


def check_images(port, expected, actual, partial=None):
    """The images announced right and received whole; with `partial`, a count,
    one image announced right of which at least that many bytes, cut short,
    start the image."""
    if len(actual) != len(expected):
        raise Failure(f"COM{port}: the unit received {len(actual)} images, expected {len(expected)}")
    for k, ((command, image), got) in enumerate(zip(expected, actual), 1):
        announced = (got["command"], int(got["length"]), int(got["checksum"]))
        if announced != (command, len(image), image_checksum(image)):
            expected = (command, len(image), image_checksum(image))
            raise Failure(f"COM{port} image {k} announced as {announced}, not {expected}")
        if partial is not None:
            if got["complete"] != "0" or len(got["data"]) < partial or not image.startswith(got["data"]):
                raise Failure(f"COM{port}: the interrupted image is not a right start of the image: {got}")
        elif got["checksumOk"] != "1" or got["complete"] != "1" or got["data"] != image:
            data = got["data"]
            diff = next((i for i, (a, b) in enumerate(zip(image, data)) if a != b), min(len(image), len(data)))
            raise Failure(
                f"COM{port} image {k}: complete={got['complete']} checksumOk={got['checksumOk']}, "
                f"{len(data)} bytes received, first difference at offset {diff}"
            )


# The one line a build from stand-in images writes on standard error.
STANDIN_WARNING = b"WARNING: this program carries stand-in images made for tests; never use it on a real unit."


def check_output(case, run, standin=False):
    """Every way one run's transcript, exit code and standard error differ from the case.

    Standard error holds nothing, or with `standin` the stand-in warning alone.
    """
    problems = list(run.problems)
    actual = run.output.decode("latin-1")
    if "stdout_re" in case:
        if not re.fullmatch(case["stdout_re"], actual, re.S):
            problems.append(f"the transcript does not match {case['stdout_re']!r}:\n  {actual!r}")
    elif actual != case["stdout"]:
        problems.append(describe_difference(case["stdout"], actual))
    if run.code != case.get("exit", 0):
        problems.append(f"exit code {run.code}, expected {case.get('exit', 0)}")
    # Standard error holds the stand-in warning of a stand-in build, then the
    # reasons of the failures, and nothing else; it is not checked when err is
    # None.
    if run.err is not None:
        warning = STANDIN_WARNING + b"\n" if standin else b""
        if not run.err.startswith(warning):
            problems.append(f"standard error does not start with the stand-in warning: {run.err!r}")
        err = run.err[len(warning):].decode(errors="replace")
        if "stderr_re" in case:
            if not re.fullmatch(case["stderr_re"], err, re.S):
                problems.append(f"standard error does not match {case['stderr_re']!r}:\n  {err!r}")
        elif err:
            problems.append(f"the tool wrote to standard error: {err!r}")
    return problems


def check_run(case, run, sims, standin=False, directory=None):
    """Stops the units; every way the run, the files it left in `directory`
    and what the units received differ from the case. A case of several
    runs ("runs", each with its own expected output) gives `run` as their
    list of (planned, Run)."""
    for process, _ in sims.values():
        stop_unitsim(process)
    run_list = run if "runs" in case else None
    if "runs" in case:
        problems = [
            f"{' '.join(planned.get('args', [])) or '(no options)'}: {problem}"
            for planned, one in run
            for problem in check_output(planned, one, standin)
        ]
        run = run[0][1]
    else:
        problems = check_output(case, run, standin)
    actual = run.output.decode("latin-1")
    # "files": name -> check(text, transcript) giving problems; "files_absent": names.
    for name, check in case.get("files", {}).items():
        path = os.path.join(directory, name)
        if not os.path.exists(path):
            problems.append(f"the tool left no {name}")
            continue
        with open(path, "rb") as f:
            problems += [f"{name}: {problem}" for problem in check(f.read().decode("latin-1"), actual)]
    for name in case.get("files_absent", []):
        if os.path.lexists(os.path.join(directory, name)):
            problems.append(f"the tool made {name}")
    # "links": name -> target, symbolic links that must be left as they were.
    for name, target in case.get("links", {}).items():
        path = os.path.join(directory, name)
        if not os.path.islink(path) or os.readlink(path) != target:
            problems.append(f"{name} is no longer a link to {target}")
    # Every report a run left is checked against the schema, whether or not
    # the case looks into its fields.
    planned_runs = [planned for planned, _ in run_list] if run_list else [case]
    for name in sorted({report_named(planned.get("args", [])) for planned in planned_runs} - {None}):
        path = os.path.join(directory or ".", name)
        if name not in case.get("files", {}) and os.path.isfile(path):
            with open(path, "rb") as f:
                problems += [f"{name}: {problem}" for problem in report_problems(f.read().decode("latin-1"), {})]
        # The new file a report is written to first never stays behind.
        for left in os.listdir(os.path.dirname(path)) if os.path.isdir(os.path.dirname(path)) else []:
            if re.fullmatch(re.escape(os.path.basename(name)) + r"\.[0-9a-f]{8}\.tmp", left):
                problems.append(f"the tool left {left} beside {name}")
    records = {}
    for port, (_, record) in sims.items():
        received, commands = records[port] = read_records(record)
        try:
            if port in case.get("images_partial", {}):
                # (command, image) or (command, image, least bytes received)
                command, image, *least = case["images_partial"][port]
                check_images(port, [(command, image)], received, partial=least[0] if least else 1)
            else:
                check_images(port, case.get("images", {}).get(port, []), received)
        except Failure as e:
            problems.append(str(e))
        expected = case.get("commands", {}).get(port, [])
        if commands != expected:
            problems.append(f"COM{port} heard {commands}\n    expected {expected}")
    if "check" in case and not problems:
        try:
            case["check"](actual, records, run.seconds)
        except Failure as e:
            problems.append(str(e))
    return problems


# ---------------------------------------------------------------------------
# The run log (--log) and the wire trace (--trace) that a run leaves.


def image_figures(images, index):
    """The image's line of IMAGES.txt, worked out here: file, text bytes,
    text SHA-256, image bytes, checksum."""
    with open(os.path.join(images.directory, IMAGE_FILES[index]), "rb") as f:
        text = f.read()
    image = images[index]
    return f"{IMAGE_FILES[index]} {len(text)} {hashlib.sha256(text).hexdigest()} {len(image)} {image_checksum(image)}"


def screen_lines(text):
    """The lines a terminal shows for `text`: a backspace moves back and a
    carriage return to the line's start, without erasing, and what follows
    overwrites; the last line may be unfinished."""
    lines, line, column = [], [], 0
    for c in text:
        if c == "\n":
            lines.append("".join(line))
            line, column = [], 0
        elif c == "\r":
            column = 0
        elif c == "\b":
            column = max(0, column - 1)
        else:
            if column < len(line):
                line[column] = c
            else:
                line.append(c)
            column += 1
    if line:
        lines.append("".join(line))
    return lines


LOG_TIME = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d"


def log_check(stdout, args, unit, result, code, ended=True, before=(), after=()):
    """A check (for a case's "files") of a run log against the run: the
    lines `before` of earlier runs, its heading, the transcript as the
    screen showed it (`stdout`, or with None the one the run printed), the
    unit's records right after the product check, the `after` records right
    after the line of the versions the unit reports after its restart, then
    the outcome and the exit code."""

    def check(text, printed):
        outs = ["out" + ("     " + line if line else "") for line in screen_lines(printed if stdout is None else stdout)]
        if unit and "out     >>" in outs:
            at = outs.index("out     >>") + 1
            outs[at:at] = unit
        for k, line in enumerate(outs):
            if after and line.startswith(("out     Unit now reports ", "out     Unit did not report ")):
                outs[k + 1:k + 1] = after
                break
        expected = [re.escape(line) for line in before] + [
            rf"start   {LOG_TIME}",
            re.escape(f"tool    TessaronFwUpgrade {CATALOGUE.version}"),
            r"command \S*TessaronFwUpgrade(\.exe)? " + re.escape(" ".join(args)),
            re.escape(f"release {CATALOGUE.version}, ") + "(stand-in images, never for a real unit|release images)",
        ]
        expected += [re.escape(line) for line in outs] + [re.escape(f"result  {result}"), re.escape(f"exit    {code}")]
        expected += [rf"end     {LOG_TIME}"] if ended else []
        lines = text.split("\n")
        if lines[-1] != "":
            return [f"the log does not end with a line end: {lines[-1]!r}"]
        lines.pop()
        for k, (pattern, line) in enumerate(zip(expected, lines)):
            if not re.fullmatch(pattern, line):
                return [f"line {k + 1} is {line!r}, expected {pattern!r}"]
        if len(lines) != len(expected):
            extra = lines[len(expected):] or expected[len(lines):]
            return [f"{len(lines)} lines, expected {len(expected)}; from line {min(len(lines), len(expected)) + 1}: {extra}"]
        return []

    return check


# ---------------------------------------------------------------------------
# The run's report (--report): one JSON document, checked against the schema
# of docs/report.schema.json.

REPORT_SCHEMA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "report.schema.json")


def report_named(args):
    """The report file a command line names, or None."""
    for k, arg in enumerate(args):
        if arg == "--report" and k + 1 < len(args):
            return args[k + 1]
        if arg.startswith("--report="):
            return arg[len("--report="):]
    return None


def report_problems(text, fields):
    """Every way a report differs from the schema and from `fields`, a dict of
    dotted paths ("images.0.acknowledged", "unit_after") to the value there,
    or to a compiled pattern its text must match."""
    import jsonschema  # python3-jsonschema

    try:
        doc = json.loads(text)
    except ValueError as e:
        return [f"not one JSON document: {e}: {text[:200]!r}"]
    with open(REPORT_SCHEMA, encoding="utf-8") as f:
        schema = json.load(f)
    validator = jsonschema.Draft7Validator(schema)
    if isinstance(doc, dict) and "station" in doc:
        # A station's document: the schema's station definition, whose units
        # are run documents (the schema's root).
        station = {"$ref": schema["$id"] + "#/definitions/station"}
        validator = jsonschema.Draft7Validator(station, resolver=jsonschema.RefResolver.from_schema(schema))
    problems = [f"against the schema: {e.message} at {'/'.join(map(str, e.absolute_path))}"
                for e in validator.iter_errors(doc)]  # fmt: skip
    for path, wanted in fields.items():
        value = doc
        for key in path.split("."):
            if isinstance(value, list) and key.isdigit() and int(key) < len(value):
                value = value[int(key)]
            elif isinstance(value, dict) and key in value:
                value = value[key]
            else:
                problems.append(f"no {path} in the report")
                break
        else:
            if isinstance(wanted, re.Pattern):
                if not isinstance(value, str) or not wanted.fullmatch(value):
                    problems.append(f"{path} is {value!r}, expected to match {wanted.pattern!r}")
            elif value != wanted:
                problems.append(f"{path} is {value!r}, expected {wanted!r}")
    return problems


def report_check(fields):
    """A check (for a case's "files") of a report: the schema, and `fields`
    as report_problems reads them."""
    return lambda text, printed: report_problems(text, fields)


def version_after(version=CATALOGUE.version):
    """The version a unitsim unit reports after an update, as the tool shows
    it: the release's digits, the minor and sub version in two digits."""
    major, minor, sub = (int(part) for part in version.split("."))
    return f"{major}.{minor:02d}.{sub:02d}"


def trace_check(port, rate, *replies):
    """A check (for a case's "files") of a wire trace: its heading, and each
    reply of the unit, quoted, at the rate in force."""

    def check(text, printed):
        problems = []
        if not text.startswith("# wire trace of the serial line, begun "):
            problems.append(f"no heading: {text[:80]!r}")
        events = [" ".join(line.split(None, 3)[1:]) for line in text.splitlines() if not line.startswith("#")]
        for reply in replies:
            quoted = reply.replace("\\", "\\\\").replace('"', '\\"').replace("\r", "\\r").replace("\n", "\\n")
            wanted = f"COM{port} {rate} < {len(reply)} \"{quoted}\""
            if wanted not in events:
                problems.append(f"the unit's reply {reply!r} is not in the trace as {wanted!r}")
        return problems

    return check


# The web upload package FwToUpload.bin: its first two header lines.
WEB_HEADER = b"KorVex\r\n613284\r\n"


def web_package_problems(package, image, announced):
    """FwToUpload.bin against the flat microcontroller image and the checksum
    its writer announced."""
    checksum = -sum(image) & 0xFFFFFFFF
    header = WEB_HEADER + f"{CATALOGUE.version}\r\n{checksum}\r\n{len(image)}\r\n".encode()
    if not package.startswith(header):
        return [f"FwToUpload.bin begins {package[:60]!r}, expected {header!r}"]
    problems = [] if announced == checksum else [f"the writer announced the checksum {announced}, not {checksum}"]
    # The pad characters are written as "A", which decodes to zero bytes.
    decoded = base64.b64decode(package[len(header):].replace(b"\r\n", b""), validate=True)
    if decoded[:len(image)] != image or decoded[len(image):] not in (b"", b"\0", b"\0\0"):
        problems.append("FwToUpload.bin does not decode to the microcontroller image")
    return problems


# ctest's SKIP_RETURN_CODE for every runner.
SKIP = 77


class Skip(Exception):
    """A case this machine or build can't show; the runner exits with SKIP."""


def run_reported(kind, name, keep, body):
    """Runs body(directory) in a fresh directory; prints the verdict: 0 when
    passed, 1 when failed, SKIP when the case can't be shown here."""
    directory = tempfile.mkdtemp(prefix=f"{kind.replace(' ', '-')}-{name}-")
    started = time.monotonic()
    try:
        detail = body(directory)
        print(f"{kind} {name}: passed; {detail}, the case {time.monotonic() - started:.1f} s")
        return 0
    except Failure as e:
        print(f"{kind} {name}: FAILED\n{e}")
        return 1
    except Skip as e:
        print(f"{kind} {name}: SKIPPED: {e}")
        return SKIP
    finally:
        if keep:
            print(f"kept {directory}")
        else:
            shutil.rmtree(directory, ignore_errors=True)


def command_line(doc, cases, required, optional=()):
    """The runners' arguments; --list prints "<case> <time-out>" lines and ends."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--list", action="store_true", help="print the cases and their time-outs")
    for option in required + optional + ("case",):
        parser.add_argument("--" + option)
    parser.add_argument("--keep", action="store_true", help="keep the case's directory")
    parser.add_argument("--standin", action="store_true",
                        help="the tool carries stand-in images and says so on standard error")
    args = parser.parse_args()
    if args.list:
        for name, _, timeout in cases:
            print(f"{name} {timeout}")
        sys.exit(0)
    if any(getattr(args, option) is None for option in required + ("case",)):
        parser.error(", ".join("--" + option for option in required + ("case",)) + " are required")
    if args.case not in [name for name, _, _ in cases]:
        parser.error(f"no case {args.case}")
    return args


# ---------------------------------------------------------------------------
# A station (--port A,B,... or --all): one run of the tool per unit, one
# board, one summary table.

# The board's phases in the order a unit's run goes through them.
STATION_PHASES = ["looking", "identifying", "logic image", "firmware image", "rebooting"]
SUMMARY_HEADING = "port    role logic device  before (fw / logic)"


def station_unit(images, port, role="TX", code=DEVICE_XC7A35, rate=57600, variant=1):
    """unitsim's arguments for a unit of a station, and its whole update as
    full_update gives it, with the versions asked after the restart;
    identification takes one exchange for the first TX text, one more for
    each text after it."""
    logic = logic_entry(code, role)
    args = ["--role", role.lower(), "--device-code", str(code), "--baud", str(rate), "--variant", str(variant)]
    texts = 2 * (role == "RX") + variant
    update = full_update(images, port, rate, logic, TX_OK if role == "TX" else RX_OK, f"K6G-{role}",
                         eng_sample=code == DEVICE_ENG_SAMPLE, identifications=texts)  # fmt: skip
    # Each unit's run writes a report for the station, and so asks the unit
    # for its versions once more after the restart.
    update["commands"][port] += heard(rate, VERSION)
    update["stdout"] = update["stdout"].replace(
        SUCCESS_LINE, SUCCESS_LINE + f"Unit now reports firmware {version_after()}, logic K6G-{role} 2.00\r\n")
    return args, update


def board_and_summary(output):
    """The board's lines (before the summary) and the summary's rows, by port."""
    board, _, summary = output.partition("\r\n" + SUMMARY_HEADING)
    rows = {}
    for line in summary.split("\r\n")[1:]:
        if line.startswith("COM"):
            rows[line.split()[0]] = line
    return board.split("\r\n"), rows


def station_check(expected, totals_line, board=True, extra=None):
    """A check (a case's "check") of a station's plain board and summary:
    `expected` gives for each port (role, logic device, summary row pattern
    after the device, final board phase); each unit's board lines show the
    phases in order and end with its final one; no escape codes. Without
    `board` (a terminal's board) only the summary is checked."""

    def check(output, records, seconds):
        if board and "\x1b" in output:
            raise Failure("escape codes on a pipe")
        lines, rows = board_and_summary(output)
        for port, (role, device, row, final) in expected.items():
            name = f"COM{port}"
            if board:
                phases = [line[27:] for line in lines if line.split(" ")[0] == name]
                order = STATION_PHASES + [final]
                known = [p for p in phases if p in order]
                if not phases or phases[-1] != final or len(known) != len(phases) or known != sorted(known, key=order.index):
                    raise Failure(f"{name}: board lines {phases}, expected phases in order ending {final!r}")
                last = next(line for line in reversed(lines) if line.split(" ")[0] == name)
                if not re.fullmatch(rf"{name}\s+{role}\s+{device}\s+{re.escape(final)}", last):
                    raise Failure(f"{name}: last board line {last!r}")
            if name not in rows or not re.fullmatch(rf"{name}\s+{role}\s+{device}\s+{row}\s+\d+:\d\d", rows[name]):
                raise Failure(f"{name}: summary row {rows.get(name)!r}, expected {role} {device} {row}")
        if set(rows) != {f"COM{port}" for port in expected}:
            raise Failure(f"the summary has rows for {sorted(rows)}, expected {sorted(expected)}")
        if totals_line not in output:
            raise Failure(f"no line {totals_line!r} under the summary")
        if extra:
            extra(output, records, seconds)

    return check


def run_in_tmux(command, directory, typed, limit, width=160, height=60):
    """Runs the tool in a tmux window (a terminal the tool draws on) and
    gives the screen at its end as its output; standard error to a file."""
    if not shutil.which("tmux"):
        raise Skip("tmux is not installed")
    socket = f"fwharness-{os.getpid()}"
    done, err = os.path.join(directory, "tmux.exit"), os.path.join(directory, "tmux.err")
    script = (" ".join(shlex.quote(c) for c in command) + f" 2>{shlex.quote(err)}; echo $? >{shlex.quote(done)}.new; "
              f"mv {shlex.quote(done)}.new {shlex.quote(done)}; sleep {limit}")  # fmt: skip
    started = time.monotonic()
    env = dict(os.environ, TERM=os.environ.get("TERM") or "xterm")
    tmux = ["tmux", "-L", socket, "-f", "/dev/null"]
    subprocess.run(tmux + ["new-session", "-d", "-x", str(width), "-y", str(height), "-c", directory, script],
                   check=True, env=env, timeout=30)  # fmt: skip
    try:
        while not os.path.exists(done):
            if time.monotonic() - started > limit:
                raise Failure("the tool did not end within the time in tmux")
            time.sleep(0.2)
        with open(done) as f:
            code = int(f.read())
        screen = subprocess.run(tmux + ["capture-pane", "-p"], capture_output=True, check=True, timeout=30).stdout
        with open(err, "rb") as f:
            return Run(screen, code, f.read(), time.monotonic() - started, [])
    finally:
        subprocess.run(tmux + ["kill-server"], capture_output=True, timeout=30)


def run_on_controlling_terminal(command, directory, limit, shown, keys):
    """Runs the tool in a session of its own whose controlling terminal is a
    pseudo-terminal (standard input and output; standard error a pipe), and
    types `keys` there (or calls keys(process)) once the output matches
    `shown` (a pattern, or a function of the output saying whether it is
    time): Ctrl-C ("\\x03")
    reaches the tool and every run it started, as at a real terminal. The
    terminal's settings must be as before once it has ended."""
    master, slave = pty.openpty()
    # The output as the tool wrote it, without the terminal's "\n" to "\r\n".
    settings = termios.tcgetattr(slave)
    settings[1] &= ~termios.ONLCR
    termios.tcsetattr(slave, termios.TCSANOW, settings)
    before = termios.tcgetattr(slave)

    def take_terminal():
        os.setsid()
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)

    started = time.monotonic()
    process = subprocess.Popen(command, stdin=slave, stdout=slave, stderr=subprocess.PIPE, cwd=directory,
                               preexec_fn=take_terminal)  # fmt: skip
    os.close(slave)
    output, typed = b"", False
    try:
        while True:
            if time.monotonic() - started > limit:
                raise Failure(f"the tool did not end within {limit} s; it printed {output[-400:]!r}")
            ready, _, _ = select.select([master], [], [], 0.1)
            if ready:
                try:
                    chunk = os.read(master, 1 << 16)
                except OSError:  # EIO: every process has closed the terminal
                    chunk = b""
                if not chunk:
                    break
                output += chunk
            if not typed and (shown(output) if callable(shown) else re.search(shown, output.decode("latin-1"), re.S)):
                if callable(keys):
                    keys(process)
                else:
                    os.write(master, keys)
                typed = True
        process.wait(timeout=30)
        after = termios.tcgetattr(master)
        problems = [] if typed else [f"the tool ended before it showed {shown!r}"]
        if after != before:
            problems.append(f"the terminal's settings were not restored: {before} -> {after}")
        return Run(output, process.returncode, process.stderr.read(), time.monotonic() - started, problems)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        os.close(master)
