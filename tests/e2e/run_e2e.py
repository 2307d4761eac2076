#!/usr/bin/env python3
"""End-to-end cases: the real update executable against unitsim.

Each case makes a temporary directory holding a copy of the executable and a
`dosdevices` folder, starts one unitsim per simulated port, runs the
executable there with no arguments and a pipe as its standard input, and
checks, byte for byte, what it printed, its exit code, and what the unit
received: the images (against an independent conversion of the image files
the build embedded), their announced checksums and lengths, and the commands.

    run_e2e.py --list
    run_e2e.py --tool EXE --unitsim EXE --images DIR [--hexconv EXE] --case NAME [--keep]
"""

import argparse
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time

# ---------------------------------------------------------------------------
# The images, converted here independently of the tool: every data byte at
# (second byte of the latest extended linear address) * 65536 + record
# address, 0xFF wherever nothing lands, the image ending with the last data
# record of the text.

IMAGE_FILES = [
    "MCU_6G-SDI_61_R1_09.hex",  # 0 microcontroller
    "K613284_R1_09_TX_V1.mcs",  # 1 logic, TX, device code 4
    "K613284_R1_09_RX_V1.mcs",  # 2 logic, RX, device code 4
    "K613284_R1_09_TX_XC7A35.mcs",  # 3 logic, TX, device code 1
    "K613284_R1_09_RX_XC7A35.mcs",  # 4 logic, RX, device code 1
]


def convert_intel_hex(text, origin):
    area = bytearray(b"\xff") * (4 * 1024 * 1024)
    length = 0
    upper = 0
    for number, record in enumerate(t for t in text.split(":") if t):
        line = record.split("\r")[0].split("\n")[0]
        raw = bytes.fromhex(line)
        if len(raw) < 5 or len(raw) != raw[0] + 5 or sum(raw) & 0xFF:
            raise ValueError(f"{origin}: record {number + 1} is malformed: {line!r}")
        count, address, kind, data = raw[0], raw[1] << 8 | raw[2], raw[3], raw[4:-1]
        if kind == 4:
            upper = data[1] * 65536
        elif kind == 0:
            start = upper + address
            if start + count > len(area):
                raise ValueError(f"{origin}: record {number + 1} lies outside the image area")
            area[start : start + count] = data
            length = start + count
    return bytes(area[:length])


def image_checksum(image):
    return -sum(image) & 0xFFFFFFFF


class Images:
    """The converted images, made on first use (and checked against hexconv)."""

    def __init__(self, directory, hexconv, scratch):
        self.directory = directory
        self.hexconv = hexconv
        self.scratch = scratch
        self.cache = {}

    def __getitem__(self, index):
        if index not in self.cache:
            path = os.path.join(self.directory, IMAGE_FILES[index])
            with open(path, "rb") as f:
                image = convert_intel_hex(f.read().decode("ascii"), path)
            if self.hexconv:
                out = os.path.join(self.scratch, f"hexconv{index}.bin")
                subprocess.run([self.hexconv, path, out], check=True, timeout=60)
                with open(out, "rb") as f:
                    if f.read() != image:
                        raise AssertionError(f"hexconv and this test convert {path} differently")
            self.cache[index] = image
        return self.cache[index]


# ---------------------------------------------------------------------------
# What the operator sees.

BANNER = (
    "\n\rYou are about to upload the firmware version 1.0.9"
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
NOT_SUCCESSFUL = "\n\rERROR: The update was not successful.\r\n"
PRESS_ANY_KEY = "\r\nPress any key to exit"


def detected(port, rate):
    return f"OK\r\nCOM PORT Number : {port}\r\nBaud rate       : {rate} \r\n\r\n"


def manual_port(port):
    return f"FAILED\n\r\n\rEnter the COM port number : \r\nOpening COM{port}...................."


def manual_rate(rate):
    return f"OK\r\n\n\r\n\rEnter the BAUD RATE       : \r\nSetting baud rate at {rate}.........."


def versions(code, model="K6G-TX"):
    # The unit's default reply "1.0.8 <model> 1.3 <code>".
    return (
        "Checking firmware version ..............  1.00.08 \r\n"
        f"Checking fpga version ..................  {model} 1.03  device:{code}\r\n"
    )


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
    return (
        " OK\n\r\n\rPlease wait while the unit is rebooting ........... "
        + figures
        + "100%"
        + "\b" * 4
        + "100%"
    )


def wrong_reply(expected, received):
    return (
        f"\r\nExpected : {expected}  received : {received}\r\n"
        "\r\nError: Expected response did  not matched !\r\n"
    )


def announcement(command, image):
    """The announcement as it arrives: the no-echo prefix "%%", then the command."""
    return f"%%{command} {image_checksum(image)} {len(image)}"


# ---------------------------------------------------------------------------
# The cases. Each gives the simulated ports, the operator's typed input and,
# from the converted images, the expected transcript, exit code, images
# received and commands heard, as (rate, command) pairs in order.

HELP = "%%%help -c version"


def full_update(images, logic, role_ok, eng_sample, product_commands, rate, model):
    logic_image, firmware = images[logic], images[0]
    transcript = (
        versions(4 if eng_sample else 1, model)
        + PRODUCT
        + (ENG_SAMPLE if eng_sample else "")
        + role_ok
        + LOGIC_PREPARE
        + OK
        + LOGIC_SEND
        + percentages(len(logic_image))
        + OK
        + FIRMWARE_PREPARE
        + OK
        + FIRMWARE_SEND
        + percentages(len(firmware))
        + reboot_wait()
        + SUCCESS_LINE
        + PRESS_ANY_KEY
    )
    commands = (
        [(rate, "%%%fw -v")]
        + [(rate, "%%%fw -p")] * product_commands
        + [(rate, announcement("%fw -l", logic_image)), (115200, announcement("%fw -h", firmware))]
    )
    return transcript, [("%fw -l", logic_image), ("%fw -h", firmware)], commands


def case_full_tx_xc7a35(images):
    # COM1 is a link to nothing, COM2 has no entry: both are absent.
    transcript, received, commands = full_update(images, 3, TX_OK, False, 1, 57600, "K6G-TX")
    return {
        "ports": {1: ["--absent"], 3: ["--role", "tx", "--device-code", "1", "--baud", "57600"]},
        "stdout": BANNER + detected(3, 57600) + transcript,
        "images": {3: received},
        "commands": {3: [(57600, HELP)] + commands},
    }


def case_full_rx_pelmaroth_v1(images):
    # The second RX text costs four identification exchanges; port 12 at
    # 9600 is found after two silent attempts at 115200.
    transcript, received, commands = full_update(images, 2, RX_OK, True, 4, 9600, "K6G-RX")
    return {
        "ports": {12: ["--role", "rx", "--variant", "2", "--device-code", "4", "--baud", "9600"]},
        "stdout": BANNER + detected(12, 9600) + transcript,
        "images": {12: received},
        "commands": {12: [(9600, HELP)] + commands},
    }


def case_manual_after_silent_detection(images):
    # Nothing answers the help command, so the operator types port and rate;
    # the unit then names a product that is none of the four.
    return {
        "ports": {3: ["--drop-help", "1000", "--product", "Korvex 6G SDI EXTENDER\\r\\n>>"]},
        "input": "3\n57600\n",
        "stdout": BANNER
        + manual_port(3)
        + manual_rate(57600)
        + OK
        + versions(1)
        + PRODUCT
        + PRODUCT_FAILED
        + NOT_SUCCESSFUL
        + PRESS_ANY_KEY,
        "commands": {3: [(57600, HELP)] * 2 + [(57600, "%%%fw -v")] + [(57600, "%%%fw -p")] * 4},
    }


def case_manual_arbitrary_rate(images):
    # A rate that detection never tries, set through the arbitrary-rate
    # interface; the unit's logic device is not one the tool knows.
    return {
        "ports": {5: ["--baud", "250000", "--device-code", "9"]},
        "input": "5\n250000\n",
        "stdout": BANNER
        + manual_port(5)
        + manual_rate(250000)
        + OK
        + versions(9)
        + PRODUCT
        + UNKNOWN_PRODUCT
        + NOT_SUCCESSFUL
        + PRESS_ANY_KEY,
        "commands": {5: [(250000, "%%%fw -v")]},
    }


def case_unknown_device_code(images):
    # The first help answer is garbled; the second attempt at 57600 finds it.
    return {
        "ports": {3: ["--device-code", "2", "--garble-help", "1"]},
        "stdout": BANNER
        + detected(3, 57600)
        + versions(2)
        + PRODUCT
        + UNKNOWN_PRODUCT
        + NOT_SUCCESSFUL
        + PRESS_ANY_KEY,
        "commands": {3: [(57600, HELP)] * 2 + [(57600, "%%%fw -v")]},
    }


def case_missing_ready(images):
    logic = images[3]
    return {
        "ports": {3: ["--no-ready"]},
        "stdout": BANNER
        + detected(3, 57600)
        + versions(1)
        + PRODUCT
        + TX_OK
        + LOGIC_PREPARE
        + NOT_READY
        + NOT_SUCCESSFUL
        + PRESS_ANY_KEY,
        "commands": {
            3: [(57600, HELP), (57600, "%%%fw -v"), (57600, "%%%fw -p"), (57600, announcement("%fw -l", logic))]
        },
    }


def case_wrong_data_ack(images):
    logic = images[4]
    return {
        "ports": {3: ["--role", "rx", "--ack", "FAILURE"]},
        "stdout": BANNER
        + detected(3, 57600)
        + versions(1, "K6G-RX")
        + PRODUCT
        + RX_OK
        + LOGIC_PREPARE
        + OK
        + LOGIC_SEND
        + percentages(len(logic))
        + wrong_reply("SUCCESS", "FAILURE")
        + PRODUCT_FAILED
        + NOT_SUCCESSFUL
        + PRESS_ANY_KEY,
        # The image itself arrived whole and right.
        "images": {3: [("%fw -l", logic)]},
        "commands": {
            3: [(57600, HELP), (57600, "%%%fw -v")]
            + [(57600, "%%%fw -p")] * 3
            + [(57600, announcement("%fw -l", logic))]
        },
    }


def case_held_port(images):
    # Another program holds COM3: detection passes it over in silence and the
    # operator's choice of it fails.
    return {
        "ports": {3: ["--hold"]},
        "input": "3\n57600\n",
        "stdout": BANNER + manual_port(3) + "ERROR: Opening COM3 failed !" + PRESS_ANY_KEY,
        "exit": 255,
        "commands": {3: []},
    }


def case_rate_refused(images):
    # A rate of 0 is refused by the port, which is closed again.
    return {
        "ports": {3: ["--drop-help", "1000"]},
        "input": "3\n0\n",
        "stdout": BANNER + manual_port(3) + manual_rate(0) + PRESS_ANY_KEY,
        "exit": 255,
        "commands": {3: [(57600, HELP)] * 2},
    }


def case_key_press_on_terminal(images):
    # The operator's terminal: the manual port fails to open, and the tool
    # waits for a key press of its own (see run_on_terminal).
    return {
        "ports": {3: ["--hold"]},
        "terminal": True,
        "input": "3\n",
        "stdout": BANNER + manual_port(3) + "ERROR: Opening COM3 failed !" + PRESS_ANY_KEY,
        "exit": 255,
    }


def case_unit_vanishes(images):
    # The unit disappears during the logic image: the pseudo-terminal's
    # master side closes and the link goes. The tool's write must fail, not
    # hang. How many chunks the line had taken by then depends on the
    # pseudo-terminal's buffering, so the figures in between are left open.
    logic = images[3]
    head = BANNER + detected(3, 57600) + versions(1) + PRODUCT + TX_OK + LOGIC_PREPARE + OK + LOGIC_SEND + "1%"
    tail = PRODUCT_FAILED + NOT_SUCCESSFUL + PRESS_ANY_KEY
    return {
        "ports": {3: ["--vanish-after", "1"]},
        "stdout_re": re.escape(head) + r"(\x08\x08\x08?\d{1,2}%)*" + re.escape(tail),
        "images_partial": {3: ("%fw -l", logic)},
        "commands": {
            3: [(57600, HELP), (57600, "%%%fw -v"), (57600, "%%%fw -p"), (57600, announcement("%fw -l", logic))]
        },
    }


# Name, function, ctest time-out in seconds; the long ones first, so that
# under ctest -j2 they start together.
CASES = [
    ("full_tx_xc7a35", case_full_tx_xc7a35, 320),
    ("full_rx_pelmaroth_v1", case_full_rx_pelmaroth_v1, 320),
    ("wrong_data_ack", case_wrong_data_ack, 90),
    ("missing_ready", case_missing_ready, 90),
    ("manual_after_silent_detection", case_manual_after_silent_detection, 90),
    ("rate_refused", case_rate_refused, 90),
    ("manual_arbitrary_rate", case_manual_arbitrary_rate, 90),
    ("unknown_device_code", case_unknown_device_code, 90),
    ("held_port", case_held_port, 90),
    ("unit_vanishes", case_unit_vanishes, 90),
    ("key_press_on_terminal", case_key_press_on_terminal, 60),
]

# ---------------------------------------------------------------------------
# Running a case.


class Failure(Exception):
    pass


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


def check_images(port, expected, actual):
    if len(actual) != len(expected):
        raise Failure(f"COM{port}: the unit received {len(actual)} images, expected {len(expected)}")
    for k, ((command, image), got) in enumerate(zip(expected, actual), 1):
        problems = []
        if got["command"] != command:
            problems.append(f"announced with {got['command']!r}, expected {command!r}")
        if int(got["length"]) != len(image):
            problems.append(f"announced length {got['length']}, expected {len(image)}")
        if int(got["checksum"]) != image_checksum(image):
            problems.append(f"announced checksum {got['checksum']}, expected {image_checksum(image)}")
        if got["checksumOk"] != "1" or got["complete"] != "1":
            problems.append(f"complete={got['complete']} checksumOk={got['checksumOk']}")
        if got["data"] != image:
            diff = next(
                (i for i in range(min(len(image), len(got["data"]))) if image[i] != got["data"][i]),
                min(len(image), len(got["data"])),
            )
            problems.append(f"{len(got['data'])} bytes received, first difference at offset {diff}")
        if problems:
            raise Failure(f"COM{port} image {k}: " + "; ".join(problems))


def run_on_terminal(tool, directory, case):
    """Runs the tool with a terminal as its standard input (output to a pipe).

    The numbers are typed as an operator types them; at "Press any key" the
    tool must wait for a key of its own, not take the line end left behind
    by the last number, must read it without echo, and must give the
    terminal its settings back afterwards.
    """
    master, slave = pty.openpty()
    try:
        before = termios.tcgetattr(slave)
        process = subprocess.Popen(
            [tool], stdin=slave, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=directory
        )
        os.write(master, case["input"].encode())
        output = b""
        deadline = time.monotonic() + 20
        while not output.endswith(PRESS_ANY_KEY.encode()) and time.monotonic() < deadline:
            ready, _, _ = select.select([process.stdout], [], [], 0.2)
            if ready:
                chunk = os.read(process.stdout.fileno(), 65536)
                if not chunk:
                    break
                output += chunk
        time.sleep(0.5)
        if process.poll() is not None:
            raise Failure(f"the tool ended without waiting for a key; it printed {output!r}")
        waiting = termios.tcgetattr(slave)
        if waiting[3] & (termios.ECHO | termios.ICANON):
            raise Failure("while waiting for the key, the terminal still echoes or waits for Enter")
        os.write(master, b"k")
        try:
            rest, err = process.communicate(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.communicate()
            raise Failure("the tool did not end on the key press")
        after = termios.tcgetattr(slave)
        if after != before:
            raise Failure(f"the terminal's settings were not restored: {before} -> {after}")
        return subprocess.CompletedProcess([tool], process.returncode, output + rest, err)
    finally:
        os.close(master)
        os.close(slave)


def check_partial_image(port, expected, actual):
    """One image announced right and cut short, its bytes a prefix of the image."""
    command, image = expected
    if len(actual) != 1:
        raise Failure(f"COM{port}: the unit received {len(actual)} images, expected 1")
    got = actual[0]
    if (
        got["command"] != command
        or int(got["length"]) != len(image)
        or int(got["checksum"]) != image_checksum(image)
        or got["complete"] != "0"
        or not got["data"]
        or not image.startswith(got["data"])
    ):
        raise Failure(f"COM{port}: the interrupted image is not a right start of the image: {got}")


def run_case(name, args):
    function, timeout = next((f, t) for n, f, t in CASES if n == name)
    directory = tempfile.mkdtemp(prefix=f"e2e-{name}-")
    sims = {}
    started = time.monotonic()
    try:
        images = Images(args.images, args.hexconv, directory)
        case = function(images)
        tool = os.path.join(directory, os.path.basename(args.tool))
        try:
            os.link(args.tool, tool)
        except OSError:
            shutil.copy2(args.tool, tool)
        # The folder is the whole port map, even with no unit in it.
        os.mkdir(os.path.join(directory, "dosdevices"))
        for port, sim_args in case["ports"].items():
            sims[port] = start_unitsim(args.unitsim, directory, port, sim_args)
        run_started = time.monotonic()
        if case.get("terminal"):
            result = run_on_terminal(tool, directory, case)
        else:
            try:
                result = subprocess.run(
                    [tool],
                    input=case.get("input", "").encode(),
                    stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE,
                    cwd=directory,
                    timeout=timeout - 15,
                )
            except subprocess.TimeoutExpired as e:
                raise Failure(f"the tool did not end within {timeout - 15} s; it printed {e.stdout!r}")
        tool_seconds = time.monotonic() - run_started
        for process, _ in sims.values():
            stop_unitsim(process)

        problems = []
        actual = result.stdout.decode("latin-1")
        if "stdout_re" in case:
            if not re.fullmatch(case["stdout_re"], actual, re.S):
                problems.append(f"the transcript does not match {case['stdout_re']!r}:\n  {actual!r}")
        elif actual != case["stdout"]:
            problems.append(describe_difference(case["stdout"], actual))
        if result.returncode != case.get("exit", 0):
            problems.append(f"exit code {result.returncode}, expected {case.get('exit', 0)}")
        if result.stderr:
            problems.append(f"the tool wrote to standard error: {result.stderr!r}")
        for port, (_, record) in sims.items():
            received, commands = read_records(record)
            try:
                if port in case.get("images_partial", {}):
                    check_partial_image(port, case["images_partial"][port], received)
                else:
                    check_images(port, case.get("images", {}).get(port, []), received)
            except Failure as e:
                problems.append(str(e))
            expected_commands = case.get("commands", {}).get(port, [])
            if commands != expected_commands:
                problems.append(f"COM{port} heard {commands}\n    expected {expected_commands}")
        if problems:
            raise Failure("\n".join(problems))
        print(
            f"e2e {name}: passed; the tool ran {tool_seconds:.1f} s, "
            f"the case {time.monotonic() - started:.1f} s"
        )
        return 0
    except Failure as e:
        print(f"e2e {name}: FAILED\n{e}")
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
    parser.add_argument("--hexconv")
    parser.add_argument("--images")
    parser.add_argument("--case")
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
