#!/usr/bin/env python3
"""End-to-end cases: the real update executable against unitsim.

Each case makes a temporary directory holding a copy of the executable and a
`dosdevices` folder, starts one unitsim per simulated port, runs the
executable there with no arguments (or the options of the case) and a pipe
(or, as an operator's console, a pseudo-terminal) as its standard input, and
checks, byte for byte, what it printed, its exit code, the run log and wire
trace it wrote, and what the unit received: the images (against an
independent conversion of the image files the build embedded), their
announced checksums and lengths, and the commands. The texts, the images and
the running and checking are the runners' harness (tests/harness/fwharness.py);
the Wine runner runs these cases too.

    run_e2e.py --list
    run_e2e.py --tool EXE --unitsim EXE --images DIR [--hexconv EXE] --case NAME [--keep]
"""

import collections
import json
import os
import re
import shutil
import signal
import sys

import fwharness as harness
from fwharness import (
    BANNER,
    CATALOGUE,
    DEVICE_ENG_SAMPLE,
    DEVICE_XC7A35,
    ENG_SAMPLE,
    FAILED_END,
    HELD_COM3,
    HELP,
    IDENTIFY,
    IMAGE_FILES,
    LINE_GONE_COM3,
    LOGIC_PREPARE,
    LOGIC_SEND,
    MICROCONTROLLER,
    NOT_READY,
    OK,
    PRESS_ANY_KEY,
    PRODUCT,
    PRODUCT_FAILED,
    RX_OK,
    TX_OK,
    SUCCESS_LINE,
    TX_XC7A35,
    UNKNOWN_PRODUCT,
    VERSION,
    announcement,
    detected,
    full_update,
    heard,
    identified_tx,
    image_checksum,
    image_figures,
    log_check,
    logic_entry,
    manual,
    manual_port,
    percentages,
    station_check,
    station_unit,
    report_check,
    trace_check,
    version_after,
    versions,
    wrong_reply,
)

# ---------------------------------------------------------------------------
# The cases. Each gives the simulated ports, the operator's typed input and,
# from the converted images, the expected transcript (or a pattern for it),
# exit code, images received and commands heard, as (rate, command) pairs in
# order. Detection's attempts at rates a unit doesn't run at are not heard;
# an absent port hears nothing.


def case_full_tx_xc7a35(images):
    # COM1 is a link to nothing, COM2 has no entry: both are absent.
    case = full_update(images, 3, 57600, TX_XC7A35)
    case["ports"] = {1: ["--absent"], 3: ["--role", "tx", "--device-code", "1", "--baud", "57600"]}
    return case


def case_full_rx_pelmaroth_v1(images):
    # The second RX text costs four identification exchanges; port 12 at
    # 9600 is found after two silent attempts at 115200.
    case = full_update(
        images, 12, 9600, logic_entry(DEVICE_ENG_SAMPLE, "RX"), RX_OK, "K6G-RX", eng_sample=True, identifications=4
    )
    case["ports"] = {12: ["--role", "rx", "--variant", "2", "--device-code", "4", "--baud", "9600"]}
    return case


def case_manual_after_silent_detection(images):
    # Nothing answers the help command, so the operator types port and rate;
    # the unit then names a product that is none of the four.
    return {
        "ports": {3: ["--drop-help", "1000", "--product", "Korvex 6G SDI EXTENDER\\r\\n>>"]},
        "input": "3\n57600\n",
        "stdout": manual(3, 57600) + versions(1) + PRODUCT + PRODUCT_FAILED + FAILED_END,
        "exit": 1,
        "commands": {3: heard(57600, HELP, HELP, VERSION, *[IDENTIFY] * 4)},
    }


def case_manual_arbitrary_rate(images):
    # A rate that detection never tries, set through the arbitrary-rate
    # interface; the unit's logic device is not one the tool knows.
    return {
        "ports": {5: ["--baud", "250000", "--device-code", "9"]},
        "input": "5\n250000\n",
        "stdout": manual(5, 250000) + versions(9) + PRODUCT + UNKNOWN_PRODUCT + FAILED_END,
        "exit": 1,
        "commands": {5: heard(250000, VERSION)},
    }


def case_unknown_device_code(images):
    # The first help answer is garbled; the second attempt at 57600 finds it.
    return {
        "ports": {3: ["--device-code", "2", "--garble-help", "1"]},
        "stdout": BANNER + detected(3, 57600) + versions(2) + PRODUCT + UNKNOWN_PRODUCT + FAILED_END,
        "exit": 1,
        "commands": {3: heard(57600, HELP, HELP, VERSION)},
    }


def case_missing_ready(images):
    return {
        "ports": {3: ["--no-ready"]},
        "stdout": identified_tx() + LOGIC_PREPARE + NOT_READY + FAILED_END,
        "exit": 1,
        "commands": {3: heard(57600, HELP, VERSION, IDENTIFY, announcement("%fw -l", images[TX_XC7A35]))},
    }


def case_wrong_data_ack(images):
    logic = images[logic_entry(DEVICE_XC7A35, "RX")]
    return {
        "ports": {3: ["--role", "rx", "--ack", "FAILURE"]},
        "stdout": "".join([
            BANNER, detected(3, 57600), versions(1, "K6G-RX"), PRODUCT, RX_OK, LOGIC_PREPARE, OK, LOGIC_SEND,
            percentages(len(logic)), wrong_reply("SUCCESS", "FAILURE"), PRODUCT_FAILED, FAILED_END,
        ]),  # fmt: skip
        # The image itself arrived whole and right.
        "images": {3: [("%fw -l", logic)]},
        "exit": 1,
        "commands": {3: heard(57600, HELP, VERSION, IDENTIFY, IDENTIFY, IDENTIFY, announcement("%fw -l", logic))},
    }


def case_held_port(images, terminal=False):
    # Another program holds COM3: detection passes it over in silence and the
    # operator's choice of it fails.
    return {
        "ports": {3: ["--hold"]},
        "input": "3\n" if terminal else "3\n57600\n",
        "terminal": terminal,
        "stdout": BANNER + manual_port(3) + "ERROR: Opening COM3 failed !" + PRESS_ANY_KEY,
        "stderr_re": HELD_COM3,
        "exit": 255,
    }


def case_key_press_on_terminal(images):
    # The same on the operator's terminal, where the tool waits for a key
    # press of its own (see run_on_terminal).
    return case_held_port(images, terminal=True)


def case_unit_vanishes(images):
    # The unit disappears during the logic image: the pseudo-terminal's
    # master side closes and the link goes. The tool's write must fail, not
    # hang. How many chunks the line had taken by then depends on the
    # pseudo-terminal's buffering, so the figures in between are left open.
    logic = images[TX_XC7A35]
    head = identified_tx() + LOGIC_PREPARE + OK + LOGIC_SEND + "1%"
    return {
        "ports": {3: ["--vanish-after", "1"]},
        "stdout_re": re.escape(head) + r"(\x08\x08\x08?\d{1,2}%)*" + re.escape(PRODUCT_FAILED + FAILED_END),
        "images_partial": {3: ("%fw -l", logic)},
        "exit": 1,
        "commands": {3: heard(57600, HELP, VERSION, IDENTIFY, announcement("%fw -l", logic))},
        "stderr_re": LINE_GONE_COM3,
    }


# ---------------------------------------------------------------------------
# The command-line options.

USAGE_RE = r"usage: TessaronFwUpgrade \[options\]\n(?:.*\n)*"
INFO_BANNER = (
    f"\n\rUnit information; this tool carries firmware release {CATALOGUE.version}"
    "\n\r\n\rDetecting COM port and Baud Rate.................."
)
NOT_IDENTIFIED = "\n\rERROR: The unit was not identified.\r\n"
FAILED_NO_WAIT = "\n\rERROR: The update was not successful.\r\n"
EXIT_USAGE = 64
DEVICE_NAMES = harness.catalogue.DEVICE_NAMES  # the tool's names of the logic-device codes


def info_block(images, port, rate, code, model, role, logic):
    """What --info shows of an identified unit (versions "1.0.8 <model> 1.3 <code>")."""
    rows = [("Programmable Logic", logic), ("Firmware", MICROCONTROLLER)]
    return (
        f"\r\nUnit on COM{port} at {rate} baud\r\n"
        "  Firmware version : 1.00.08\r\n"
        f"  Logic version    : {model} 1.03\r\n"
        f"  Logic device     : {code} ({DEVICE_NAMES[code]}{', engineering sample' if code == 4 else ''})\r\n"
        f"  Role             : {role}\r\n"
        f"  Release {CATALOGUE.version} would write:\r\n"
    ) + "".join(
        "    %-20s%-32s%9d bytes  checksum %d\r\n" % (what, IMAGE_FILES[k], len(images[k]), image_checksum(images[k]))
        for what, k in rows
    )


def unit_records(images, code, model, role, logic):
    return [
        f"unit    firmware 1.00.08, logic {model} 1.03, device {code} ({DEVICE_NAMES[code]})",
        f"role    {role}",
        "image   " + image_figures(images, logic),
        "image   " + image_figures(images, MICROCONTROLLER),
    ]


def case_info_port_baud_log(images):
    # --baud: no detection at all, not even on the port given; the RX unit
    # with an engineering-sample device answers its third identification.
    # COM3's unit, which detection would find first, hears nothing.
    logic = logic_entry(DEVICE_ENG_SAMPLE, "RX")
    stdout = (
        INFO_BANNER + detected(41, 9600) + versions(4, "K6G-RX") + PRODUCT + ENG_SAMPLE + RX_OK
        + info_block(images, 41, 9600, 4, "K6G-RX", "RX", logic)
    )  # fmt: skip
    args = ["--port", "COM41", "--baud", "9600", "--info", "--log", "info.log", "--report", "info.json"]
    return {
        "ports": {3: [], 41: ["--role", "rx", "--device-code", "4", "--baud", "9600"]},
        "args": args,
        "stdout": stdout,
        "exit": 0,
        "commands": {41: heard(9600, VERSION, IDENTIFY, IDENTIFY, IDENTIFY)},
        "files": {"info.log": log_check(stdout, args, unit_records(images, 4, "K6G-RX", "RX", logic),
                                        "the unit was identified", 0),
                  "info.json": report_check({"result": "identified", "exit_code": 0, "port.name": "COM41",
                                             "baud": 9600, "unit_before.firmware": "1.00.08",
                                             "unit_before.logic_model": "K6G-RX", "unit_before.device_code": 4,
                                             "unit_before.role": "RX", "images": [], "unit_after": None})},
    }  # fmt: skip


def case_info_unit_text_escaped(images):
    # The unit's own text (ESC, BEL and the two bytes of the C1 control CSI
    # in its device name) reaches neither the terminal nor the run log raw.
    shown = "K\\x1B\\x07\\xC2\\x9B"
    logic = logic_entry(DEVICE_XC7A35, "TX")
    stdout = INFO_BANNER + detected(3, 57600) + versions(1, shown) + PRODUCT + TX_OK + info_block(
        images, 3, 57600, 1, shown, "TX", logic
    )
    args = ["--port", "3", "--info", "--log", "info.log"]
    return {
        "ports": {3: ["--version", "1.0.8\r\nK\x1b\x07\u009b 1.3 1\r\n>>"]},
        "args": args,
        "stdout": stdout,
        "exit": 0,
        "commands": {3: heard(57600, HELP, VERSION, IDENTIFY)},
        "files": {"info.log": log_check(stdout, args, unit_records(images, 1, shown, "TX", logic),
                                        "the unit was identified", 0)},  # fmt: skip
    }


def case_info_pinned_port_unknown_product(images):
    # --port alone: detection tries that port's rates only; the unit names a
    # logic device this release has no image for.
    return {
        "ports": {3: [], 41: ["--device-code", "2", "--baud", "9600"]},
        "args": ["--info", "--port", "41"],
        "stdout": INFO_BANNER + detected(41, 9600) + versions(2) + PRODUCT + UNKNOWN_PRODUCT + NOT_IDENTIFIED,
        "exit": 1,
        "commands": {41: heard(9600, HELP, VERSION)},
    }


def write_files(files):
    """A case's "prepare": the files, and the symbolic links (name -> ("link", target)), in its directory."""

    def prepare(directory):
        for name, content in files.items():
            path = os.path.join(directory, name)
            if isinstance(content, tuple):
                os.symlink(content[1], path)
            else:
                with open(path, "w") as f:
                    f.write(content)

    return prepare


def case_log_failure(images):
    # The log holds the record of a run killed in the middle of a line: this
    # run's record starts on a line of its own after it.
    case = case_missing_ready(images)
    args = ["--log", "update.log", "--report", "update.json"]
    case["args"] = args
    case["prepare"] = write_files({"update.log": "start   earlier run\nout     Sending 12"})
    logic = images[TX_XC7A35]
    case["files"] = {
        "update.log": log_check(case["stdout"], args, unit_records(images, 1, "K6G-TX", "TX", TX_XC7A35),
                                "the update failed", 1, before=["start   earlier run", "out     Sending 12"]),
        # The logic image was announced, never taken; nothing was asked after.
        "update.json": report_check({"result": "failed", "outcome": "the update failed", "exit_code": 1,
                                     "images": [{"kind": "logic", "file": IMAGE_FILES[TX_XC7A35], "length": len(logic),
                                                 "checksum": image_checksum(logic), "acknowledged": False}],
                                     "restart": {"confirmed": False, "how": None}, "unit_after": None}),
    }  # fmt: skip
    return case


def case_two_runs_one_log(images):
    # A second run given the log of a run still going is refused before it
    # touches a port (COM4's unit, which its detection would find, hears
    # nothing); the first run's record is whole.
    first = ["--port", "3", "--no-wait", "--log", "shared.log"]
    stdout = identified_tx() + LOGIC_PREPARE + NOT_READY + FAILED_NO_WAIT
    second = bad_command_line(["--no-wait", "--log", "shared.log"],
                              "--log: shared.log is being written by another run; give each run its own log")
    return {
        "ports": {3: ["--no-ready"], 4: []},
        "runs": [{"args": first, "stdout": stdout, "exit": 1}, dict(second, after=LOGIC_PREPARE)],
        "together": True,
        "commands": {3: heard(57600, HELP, VERSION, IDENTIFY, announcement("%fw -l", images[TX_XC7A35]))},
        "stderr_search": rb"ERROR: --log: shared.log is being written by another run",  # under Wine
        "files": {"shared.log": log_check(stdout, first, unit_records(images, 1, "K6G-TX", "TX", TX_XC7A35),
                                          "the update failed", 1)},
    }  # fmt: skip


def case_log_killed_in_image(images):
    # The run is interrupted in the middle of the logic image: the log has
    # every line up to the figure on screen, and the interrupt's lines.
    logic = images[TX_XC7A35]
    args = ["--port", "3", "--log", "update.log", "--report", "update.json"]
    return {
        "ports": {3: []},
        "args": args,
        "run": lambda command, directory, typed, limit: harness.run_acting_when(
            command, directory, limit, re.escape(LOGIC_SEND + "1%\b\b") + r"\d",
            lambda tool: tool.send_signal(signal.SIGTERM)),
        "stdout_re": re.escape(identified_tx() + LOGIC_PREPARE + OK + LOGIC_SEND + "1%") + r"(\x08\x08\x08?\d{1,2}%)+",
        "stderr_re": "\nInterrupted by SIGTERM; the serial port is closed.\n",
        "exit": 143,
        "images_partial": {3: ("%fw -l", logic)},
        "commands": {3: heard(57600, HELP, VERSION, IDENTIFY, announcement("%fw -l", logic))},
        "files": {"update.log": log_check(None, args, unit_records(images, 1, "K6G-TX", "TX", TX_XC7A35),
                                          "interrupted by SIGTERM", 143, ended=False),
                  "update.json": report_check({"result": "interrupted", "outcome": "interrupted by SIGTERM",
                                               "exit_code": 143, "end": None, "images.0.kind": "logic",
                                               "images.0.acknowledged": False, "unit_before.role": "TX"})},
    }  # fmt: skip


def case_no_wait_on_terminal(images):
    # On the operator's terminal, --no-wait ends the run without a key.
    return {
        "ports": {3: ["--device-code", "2"]},
        "args": ["--no-wait", "--port", "3"],
        "terminal": True,
        "run": lambda *args: harness.run_on_terminal(*args, key_wait=False),
        "stdout": BANNER + detected(3, 57600) + versions(2) + PRODUCT + UNKNOWN_PRODUCT + FAILED_NO_WAIT,
        "exit": 1,
        "commands": {3: heard(57600, HELP, VERSION)},
    }


def case_list_ports(images):
    # Every port of the map, what it leads to, and which another program
    # holds; nothing reaches any unit. COM9's link leads to a name holding
    # an escape sequence and a line end, which must neither colour the
    # terminal nor show a port of its own.
    pts = r"/dev/pts/\d+"
    return {
        "ports": {3: [], 7: ["--hold"], 12: ["--absent"]},
        "prepare": lambda directory: os.symlink("\x1b[31mX\nCOM99   fake", os.path.join(directory, "dosdevices", "com9")),
        "args": ["--list-ports", "--report", "ports.json"],
        "files": {"ports.json": report_check({"result": "listed", "exit_code": 0, "port": None,
                                              "ports.0.name": "COM3", "ports.0.held": False, "ports.0.note": None,
                                              "ports.1.name": "COM7", "ports.1.held": True,
                                              "ports.2.name": "COM9", "ports.3.name": "COM12"})},  # fmt: skip
        "stdout_re": (
            rf"COM3    \S*/dosdevices/com3 -> {pts}\r\n"
            rf"COM7    \S*/dosdevices/com7 -> {pts}  \(held by another program.*\)\r\n"
            r"COM9    \S*/dosdevices/com9 -> \\x1B\[31mX\\x0ACOM99   fake  \(no device: No such file or directory\)\r\n"
            r"COM12   \S*/dosdevices/com12 -> \S*/dosdevices/\.absent-com12  \(no device: No such file or directory\)\r\n"
        ),
        "exit": 0,
    }


def options_documented(usage, records, seconds):
    """The README's option table and the operator's guide name exactly the
    options that --help prints."""
    top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    printed = set(re.findall(r"^  (--[a-z-]+)", usage, re.M))
    with open(os.path.join(top, "README.md"), encoding="utf-8") as f:
        readme = set(re.findall(r"`(--[a-z-]+)", "".join(re.findall(r"^\| `--.*", f.read(), re.M))))
    with open(os.path.join(top, "docs", "OPERATOR.md"), encoding="utf-8") as f:
        guide = set(re.findall(r"^    (--[a-z-]+) ", f.read(), re.M))
    for name, documented in (("README.md", readme), ("docs/OPERATOR.md", guide)):
        if documented != printed:
            raise harness.Failure(f"{name} describes {sorted(documented)}, --help prints {sorted(printed)}")


def case_help_and_version(images):
    version = (
        f"TessaronFwUpgrade {CATALOGUE.version}\nFirmware release {CATALOGUE.version}, "
        "(stand-in images, never for a real unit|release images):\n"
        "  # file text-bytes text-sha256 image-bytes checksum\n"
        + "".join(f"  {re.escape(image_figures(images, k))}\n" for k in range(len(IMAGE_FILES)))
    )
    return {
        "ports": {3: []},
        "check": options_documented,
        "runs": [
            {"args": ["--help"], "stdout_re": USAGE_RE, "exit": 0},
            {"args": ["--version"], "stdout_re": version, "exit": 0},
        ],
    }


def bad_command_line(args, reason):
    return {"args": args, "stdout": "", "exit": EXIT_USAGE, "stderr_re": re.escape(f"ERROR: {reason}\n\n") + USAGE_RE}


def case_bad_command_lines(images):
    # Refused before anything is opened: the unit hears nothing, and a log
    # that can't be written is refused like a bad value.
    return {
        "ports": {3: []},
        "runs": [
            bad_command_line(["--bogus"], "unknown option --bogus"),
            bad_command_line(["COM3"], "unexpected argument \"COM3\": the tool takes options only"),
            bad_command_line(["--port", "0"], "--port: \"0\" is no COM port (give its number, 3 or COM3, "
                                              "from 1 without leading zeros)"),
            bad_command_line(["--baud", "9600"], "--baud needs --port: a rate is the rate of one port"),
            bad_command_line(["--port", "3", "--baud", "12"], "--baud: \"12\" is no rate from 50 to 4000000 baud"),
            bad_command_line(["--info=yes"], "--info takes no value"),
            # A log option that lost its name: a query must not become an update.
            bad_command_line(["--log", "--info", "--port", "3"],
                             "--log: \"--info\" looks like an option, not a value (a file whose name begins "
                             "with \"-\" is written ./-name)"),
            bad_command_line(["--port", "3", "--list-ports"],
                             "--list-ports cannot go with --port: listing the ports uses none of them"),
            bad_command_line(["--log", "no-such-folder/update.log"],
                             "--log: no-such-folder/update.log cannot be written: No such file or directory"),
            bad_command_line(["--log", "update.log", "--trace", "."], "--trace: . cannot be written: Is a directory"),
            # One file by two names, through a link, a hard link: refused, and
            # the record in it kept.
            bad_command_line(["--log", "keep.log", "--trace", "./keep.log"],
                             "--log keep.log and --trace ./keep.log name the same file; give each its own file"),
            bad_command_line(["--trace", "link.log", "--log", "keep.log"],
                             "--log keep.log and --trace link.log name the same file; give each its own file"),
            bad_command_line(["--log", "hard.log", "--trace", "keep.log"],
                             "--log hard.log and --trace keep.log name the same file; give each its own file"),
            # The log, made through a link to nothing, goes again; the link stays.
            bad_command_line(["--log", "dangling.log", "--trace", "no-such-folder/t"],
                             "--trace: no-such-folder/t cannot be written: No such file or directory"),
            bad_command_line(["--report", "no-such-folder/update.json"],
                             "--report: no-such-folder/update.json cannot be written: No such file or directory"),
            bad_command_line(["--report", "."], "--report: . cannot be written: Not a regular file"),
            bad_command_line(["--log", "update.log", "--report", "update.log"],
                             "--report: update.log is the file of --log"),
            # The same file by another name: refused once the log is open.
            bad_command_line(["--log", "update.log", "--report", "./update.log"],
                             "--report: ./update.log is the file of --log"),
        ],
        "prepare": lambda directory: (
            write_files({"keep.log": "earlier record\n", "link.log": ("link", "keep.log"),
                         "dangling.log": ("link", "target.log")})(directory),
            os.link(os.path.join(directory, "keep.log"), os.path.join(directory, "hard.log"))),
        "files": {"keep.log": lambda text, _: [] if text == "earlier record\n" else [f"changed: {text!r}"]},
        "links": {"link.log": "keep.log", "dangling.log": "target.log"},
        "files_absent": ["update.log", "target.log"],
    }  # fmt: skip


def case_pinned_port_failures(images):
    # A port given with --port is the only one used, and no prompt follows
    # when it fails: -1 when it can't be opened, 1 when no unit answers.
    return {
        "ports": {3: ["--drop-help", "1000"], 7: ["--hold"]},
        "runs": [
            {"args": ["--port", "5", "--no-wait"], "stdout": BANNER + "ERROR: Opening COM5 failed !", "exit": 255,
             "stderr_re": r"COM5 \(\S*/dosdevices/com5\): No such file or directory\n"
                          r"ERROR: COM5 cannot be used; no other port is tried\n"},
            {"args": ["--port", "7", "--baud", "9600", "--no-wait"], "stdout": BANNER + "ERROR: Opening COM7 failed !",
             "exit": 255, "stderr_re": HELD_COM3.replace("3", "7") + r"ERROR: COM7 cannot be used; no other port is tried\n"},
            {"args": ["--port", "COM3", "--no-wait"], "stdout": BANNER + "FAILED" + FAILED_NO_WAIT, "exit": 1,
             "stderr_re": r"ERROR: no unit answered on COM3 at 115200, 9600, 57600, 4800, 2400 or 1200 baud\n"},
        ],
        "commands": {3: heard(57600, HELP, HELP)},
    }  # fmt: skip


# The line a run with a record shows after the restart, by the port of the
# station's unit (COM7's unit says nothing when asked).
AFTER_LINES = {
    3: f"Unit now reports firmware {version_after()}, logic K6G-TX 2.00\r\n",
    7: "Unit did not report its versions after the restart\r\n",
}


def case_three_units_at_once(images):
    # A station: three units on three ports updated at once by three runs,
    # each pinned to its port; each unit gets exactly its own images. A run
    # without --port, started once the three have found their units, passes
    # over the ports they hold.
    units_ = {
        3: (["--role", "tx", "--device-code", "1", "--baud", "57600"], full_update(images, 3, 57600, TX_XC7A35)),
        7: (["--role", "rx", "--device-code", "4", "--baud", "9600", "--silent-after-update"],
            full_update(images, 7, 9600, logic_entry(DEVICE_ENG_SAMPLE, "RX"), RX_OK, "K6G-RX", eng_sample=True,
                        identifications=3)),
        41: (["--role", "rx", "--variant", "2", "--device-code", "1", "--baud", "115200"],
             full_update(images, 41, 115200, logic_entry(DEVICE_XC7A35, "RX"), RX_OK, "K6G-RX", identifications=4)),
    }  # fmt: skip
    runs = []
    for port, (_, update) in units_.items():
        args = ["--port", f"COM{port}" if port == 41 else str(port), "--no-wait"]
        stdout = update["stdout"][: -len(PRESS_ANY_KEY)]
        if port in AFTER_LINES:
            # A run with a record asks the unit once more after its restart.
            args += ["--report", f"com{port}.json"]
            stdout = stdout.replace(SUCCESS_LINE, SUCCESS_LINE + AFTER_LINES[port])
        if port == 3:
            args += ["--log", "com3.log", "--trace", "com3.trace"]
        runs.append({"args": args, "stdout": stdout, "exit": 0})
    log_args = runs[0]["args"]
    runs.append({"args": [], "after": "COM PORT Number", "stdout": BANNER + manual_port(0) + "ERROR: Opening COM0 failed !"
                 + PRESS_ANY_KEY, "exit": 255,
                 "stderr_re": "ERROR: no COM port number was read from the input\n"
                              r"COM0: no such port \(ports are numbered from 1\)\n"})  # fmt: skip
    return {
        "ports": {port: sim_args for port, (sim_args, _) in units_.items()},
        "runs": runs,
        "together": True,
        "images": {port: update["images"][port] for port, (_, update) in units_.items()},
        "commands": {port: update["commands"][port] + (heard(rate, VERSION) if port in AFTER_LINES else [])
                     for port, rate, (_, update) in zip(units_, (57600, 9600, 115200), units_.values())},
        "files": {
            "com3.log": log_check(runs[0]["stdout"], log_args, unit_records(images, 1, "K6G-TX", "TX", TX_XC7A35),
                                  "the update succeeded and the unit's console came back", 0,
                                  after=[f"after   firmware {version_after()}, logic K6G-TX 2.00, device 1 (XC7A35_484)"]),
            "com3.json": report_check({
                "result": "updated", "exit_code": 0, "port.name": "COM3", "baud": 57600,
                "unit_before.firmware": "1.00.08", "unit_before.logic_version": "1.03",
                "unit_before.identification": "Korvex 6G SDI EXTENDER TX\r\n>>",
                "images": [{"kind": kind, "file": IMAGE_FILES[k], "length": len(images[k]),
                            "checksum": image_checksum(images[k]), "acknowledged": True}
                           for kind, k in (("logic", TX_XC7A35), ("firmware", MICROCONTROLLER))],
                "restart": {"confirmed": True, "how": "prompt"},
                "unit_after": {"answered": True, "firmware": version_after(), "logic_model": "K6G-TX",
                               "logic_version": "2.00", "device_code": 1, "device": "XC7A35_484"}}),
            # The unit that says nothing after its restart: updated all the same.
            "com7.json": report_check({"result": "updated", "exit_code": 0, "restart.confirmed": True,
                                       "unit_after": {"answered": False, "firmware": None, "logic_model": None,
                                                      "logic_version": None, "device_code": None, "device": None}}),
            "com3.trace": trace_check(3, 57600, "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>",
                                      "1.0.8\r\nK6G-TX 1.3 1\r\n>>", "Korvex 6G SDI EXTENDER TX\r\n>>", "Ready"),
        },
    }  # fmt: skip


# ---------------------------------------------------------------------------
# Ports named by their device paths.

PATH_HELD = r"(held by another program \(.*\)|Device or resource busy.*)"


def refused_path(path, reason):
    """A run given `path` for --port that refuses it with `reason` (a pattern)."""
    return {"args": ["--port", path, "--no-wait"], "stdout": BANNER + f"ERROR: Opening {path} failed !", "exit": 255,
            "stderr_re": rf"{re.escape(path)}( \(\S+\))?: {reason}\n"
                         rf"ERROR: {re.escape(path)} cannot be used; no other port is tried\n"}  # fmt: skip


def path_records_check(link):
    """A check of the log and the trace of a run given the link `link`: both
    name the link and the pseudo-terminal it led to."""

    def check(text, printed):
        wanted = [re.escape(f"out     Serial port     : {link}\n"), rf"\nport    {re.escape(link)} \(/dev/pts/\d+\)\n"]
        if text.startswith("# wire trace"):
            wanted = [rf"\n +\d+ {re.escape(link)} +57600 open {re.escape(link)} \(/dev/pts/\d+\), read time-out"]
        return [f"no match for {w!r}" for w in wanted if not re.search(w, text)]

    return check


# Stations: several units at once, each updated by a run of the tool of its
# own, on one board and in one summary table.

STATION_HEAD = f"\n\rStation: updating units to firmware release {CATALOGUE.version}\r\n"
BEFORE = r"1\.00\.08 / K6G-{role} 1\.03"
# The summary's versions before and after of an updated unit (unitsim reports
# the release's version once it has taken both images).
UPDATED = BEFORE + r"\s+" + re.escape(version_after()) + r" / K6G-{role} 2\.00\s+updated"


def station_report_check(exit_code, results):
    """A check (for a case's "files") of the station's report: its exit code,
    its totals, and one unit document per unit with the port and result."""

    def check(text, printed):
        problems = harness.report_problems(text, {})
        document = json.loads(text)
        station, units = document["station"], document["units"]
        if station["exit_code"] != exit_code:
            problems.append(f"exit code {station['exit_code']}, expected {exit_code}")
        got = {unit["port"]["name"]: unit["result"] for unit in units}
        if got != results:
            problems.append(f"units {got}, expected {results}")
        counts = collections.Counter(results.values())
        totals = {"units": len(results), "updated": counts["updated"], "failed": counts["failed"],
                  "restart_unconfirmed": counts["restart unconfirmed"], "interrupted": counts["interrupted"],
                  "identified": counts["identified"]}  # fmt: skip
        if station["totals"] != totals:
            problems.append(f"totals {station['totals']}, expected {totals}")
        return problems

    return check


def case_ports_by_path(images):
    # Two units updated at once, one named by its pseudo-terminal's path and
    # one by a symbolic link to its pseudo-terminal; a third run that names
    # the first unit's device by its link finds it held. The transcript shows
    # the path as given where a COM number would stand.
    update3 = full_update(images, 3, 57600, TX_XC7A35)
    update7 = full_update(images, 7, 57600, TX_XC7A35)

    def by_path(update, port, shown, after=""):
        text = re.escape(update["stdout"][: -len(PRESS_ANY_KEY)].replace(SUCCESS_LINE, SUCCESS_LINE + after))
        return text.replace(re.escape(f"COM PORT Number : {port}"), "Serial port     : " + shown)

    link_args = ["--port", "dosdevices/com7", "--no-wait", "--log", "com7.log", "--trace", "com7.trace",
                 "--report", "com7.json"]  # fmt: skip
    return {
        "ports": {3: [], 7: []},
        "together": True,
        "runs": [
            {"args": ["--port", "{pts3}", "--no-wait"], "stdout_re": by_path(update3, 3, r"/dev/pts/\d+"), "exit": 0},
            {"args": link_args, "stdout_re": by_path(update7, 7, "dosdevices/com7", AFTER_LINES[3]), "exit": 0},
            dict(refused_path("dosdevices/com3", PATH_HELD), after="Serial port"),
        ],
        "images": {**update3["images"], **update7["images"]},
        "commands": {**update3["commands"], 7: update7["commands"][7] + heard(57600, VERSION)},
        "files": {"com7.log": path_records_check("dosdevices/com7"), "com7.trace": path_records_check("dosdevices/com7"),
                  # The report names the port as given, and the device it led to.
                  "com7.json": report_check({"result": "updated", "port.name": "dosdevices/com7"})},
    }  # fmt: skip


def case_port_path_refusals(images):
    # What is no terminal is refused with its reason and exit code -1, before
    # it is opened: the tool's own file, a folder, a link to nothing (its
    # target shown escaped), and /dev/null (a build with stand-in images
    # leaves it alone as no pseudo-terminal; another finds it is no terminal).
    return {
        "ports": {1: ["--absent"]},
        "prepare": lambda directory: os.symlink("\x1b[31mred", os.path.join(directory, "dosdevices", "com2")),
        "runs": [
            refused_path("dosdevices/com2", r"a link to nothing \(\\x1B\[31mred\)"),
            refused_path("./TessaronFwUpgrade", "a regular file, not a serial port"),
            refused_path("./dosdevices", "a directory, not a serial port"),
            refused_path("dosdevices/com1", r"a link to nothing \(\S*/dosdevices/\.absent-com1\)"),
            refused_path("/dev/null", "(not a pseudo-terminal; a program with stand-in images leaves the device "
                                      "alone|not a serial port or terminal)"),
        ],
    }  # fmt: skip


def never_opened(device):
    """A check of an strace record of open calls: there are some, and none of `device`."""

    def check(text, printed):
        if not re.search(r"\bopenat?\(", text):
            return [f"strace recorded no open at all: {text[:200]!r}"]
        return [f"the tool opened {device}: {line}" for line in text.splitlines() if f'"{device}"' in line]

    return check


def case_standin_path_never_opened(images):
    # A build with stand-in images given a real serial device by its path
    # refuses it without opening it (strace records every open).
    if not os.path.exists("/dev/ttyS0") or not shutil.which("strace"):
        raise harness.Skip("needs /dev/ttyS0 and strace")
    trace = ["strace", "-f", "-qq", "-o", "opens.txt", "-e", "trace=open,openat,openat2,creat"]
    case = refused_path("/dev/ttyS0", "not a pseudo-terminal; a program with stand-in images leaves the device alone")
    case.update({"standin_only": True, "ports": {}, "files": {"opens.txt": never_opened("/dev/ttyS0")},
                 "run": lambda command, *rest: harness.run_with_pipe(trace + command, *rest)})  # fmt: skip
    return case


def case_station_one_unit_fails(images):
    # COM41's unit never answers the logic image's announcement: that unit
    # fails, the other two are updated, and the station says which.
    units_ = {3: station_unit(images, 3), 7: station_unit(images, 7, "RX", DEVICE_ENG_SAMPLE, 9600)}
    failing = images[TX_XC7A35]
    args = ["--port", "3,7,COM41", "--log-dir", ".", "--report", "station.json"]
    return {
        "ports": {**{port: unit[0] for port, unit in units_.items()}, 41: ["--no-ready"]},
        "args": args,
        "stdout_re": re.escape(STATION_HEAD + "Units on COM3, COM7, COM41\r\n\r\n") + ".*",
        "exit": 1,
        "images": {port: update["images"][port] for port, (_, update) in units_.items()},
        "commands": {**{port: update["commands"][port] for port, (_, update) in units_.items()},
                     41: heard(57600, HELP, VERSION, IDENTIFY, announcement("%fw -l", failing))},
        "check": station_check({
            3: ("TX", "XC7A35_484", UPDATED.format(role="TX"), "done"),
            7: ("RX", "XC7A100_484", UPDATED.format(role="RX"), "done"),
            41: ("TX", "XC7A35_484", BEFORE.format(role="TX") + r"\s+-\s+failed", "failed"),
        }, "3 units, 2 updated, 1 not\r\n"),  # fmt: skip
        "files": {
            # Each unit's run keeps its own log, as a run with --log does.
            "unit-COM3.log": log_check(units_[3][1]["stdout"][: -len(PRESS_ANY_KEY)],
                                  ["--port", "3", "--no-wait", "--log", "./unit-COM3.log", "--report", "./unit-COM3.json"],
                                  unit_records(images, 1, "K6G-TX", "TX", TX_XC7A35),
                                  "the update succeeded and the unit's console came back", 0,
                                  after=[f"after   firmware {version_after()}, logic K6G-TX 2.00, device 1 (XC7A35_484)"]),
            "station.json": station_report_check(1, {"COM3": "updated", "COM7": "updated", "COM41": "failed"}),
        },  # fmt: skip
    }


# --all: units on 16 of 32 ports (both roles, both logic devices, three
# rates); the other ports are silent (a device at a rate detection never
# tries), absent (a link to nothing) or held by another program.
ALL_SILENT = [1, 3, 5, 7, 9, 27, 29, 31]
ALL_ABSENT = [11, 13, 15, 17, 19]
ALL_HELD = [21, 23, 25]


def all_units(images):
    units_ = {}
    for k, port in enumerate(range(2, 33, 2)):
        role, code = ("TX", "RX")[k % 2], (DEVICE_XC7A35, DEVICE_ENG_SAMPLE)[k // 2 % 2]
        units_[port] = station_unit(images, port, role, code, (57600, 9600, 115200)[k % 3])
    return units_


def case_station_all_ports(images):
    units_ = all_units(images)
    ports = {port: unit[0] for port, unit in units_.items()}
    ports.update({port: ["--baud", "300"] for port in ALL_SILENT})
    ports.update({port: ["--absent"] for port in ALL_ABSENT})
    ports.update({port: ["--hold"] for port in ALL_HELD})
    passed = "".join(f"COM{port} passed over: held by another program.*\r\n" for port in ALL_HELD)
    looked = ", ".join(f"COM{port}" for port in sorted(set(range(1, 33)) - set(ALL_ABSENT) - set(ALL_HELD)))
    expected = {
        port: (role, DEVICE_NAMES[int(args[3])], UPDATED.format(role=role), "done")
        for port, (args, _) in units_.items()
        for role in [args[1].upper()]
    }  # fmt: skip
    return {
        "ports": ports,
        "args": ["--all", "--report", "station.json"],
        "stdout_re": re.escape(STATION_HEAD) + passed + re.escape(f"Looking on {looked}\r\n\r\n") + ".*"
        + r"16 units found on 24 ports in \d+\.\d s\r\n.*",
        "exit": 0,
        # Every unit updated whole with its own images; each port claimed
        # once (a second run on a port would have made the unit hear more).
        "images": {port: update["images"][port] for port, (_, update) in units_.items()},
        "commands": {port: update["commands"][port] for port, (_, update) in units_.items()},
        "check": station_check(expected, "16 units, 16 updated, 0 not\r\n"),
        "files": {"station.json": station_report_check(0, {f"COM{port}": "updated" for port in units_})},
    }


def case_station_board_on_terminal(images):
    # On a terminal the board is redrawn in place: at the end the screen
    # shows each unit once on the board (its last phase) and once in the
    # summary, nothing of the phases before.
    units_ = {3: station_unit(images, 3), 7: station_unit(images, 7, "RX", DEVICE_ENG_SAMPLE, 9600)}

    def check(output, records, seconds):
        screen = output.replace("\r\n", "\n").split("\n")
        for port, role, device in ((3, "TX", "XC7A35_484"), (7, "RX", "XC7A100_484"), (12, "-", "-")):
            lines = [line.rstrip() for line in screen if line.startswith(f"COM{port} ")]
            final = "done" if port != 12 else "port unusable"
            if len(lines) != 2 or not re.fullmatch(rf"COM{port}\s+{re.escape(role)}\s+{device}\s+{final}", lines[0]):
                raise harness.Failure(f"COM{port} on the screen: {lines}")
        # Two heading lines, three board lines, the summary's heading, three
        # rows and the totals: nothing left of the lines drawn before.
        shown = [line for line in screen if line.strip()]
        if len(shown) != 10:
            raise harness.Failure(f"{len(shown)} lines on the screen, expected 10:\n{output}")

    return {
        "ports": {3: units_[3][0], 7: units_[7][0], 12: ["--absent"]},
        "args": ["--port", "3,7,12", "--info"],
        "run": harness.run_in_tmux,
        "stdout_re": ".*",
        "stderr_re": "COM12: .*\n.*",
        "exit": 255,
        "commands": {3: heard(57600, HELP, VERSION, IDENTIFY), 7: heard(9600, HELP, VERSION, *[IDENTIFY] * 3)},
        "check": check,
    }


# Name, function, ctest time-out in seconds; the long ones first, so that
# under ctest -j2 they start together.
CASES = [
    ("full_tx_xc7a35", case_full_tx_xc7a35, 320),
    ("full_rx_pelmaroth_v1", case_full_rx_pelmaroth_v1, 320),
    ("three_units_at_once", case_three_units_at_once, 360),
    ("ports_by_path", case_ports_by_path, 360),
    ("station_all_ports", case_station_all_ports, 600),
    ("station_one_unit_fails", case_station_one_unit_fails, 360),
    ("station_board_on_terminal", case_station_board_on_terminal, 90),
    ("wrong_data_ack", case_wrong_data_ack, 90),
    ("missing_ready", case_missing_ready, 90),
    ("manual_after_silent_detection", case_manual_after_silent_detection, 90),
    ("manual_arbitrary_rate", case_manual_arbitrary_rate, 90),
    ("unknown_device_code", case_unknown_device_code, 90),
    ("held_port", case_held_port, 90),
    ("unit_vanishes", case_unit_vanishes, 90),
    ("key_press_on_terminal", case_key_press_on_terminal, 60),
    ("log_failure", case_log_failure, 90),
    ("log_killed_in_image", case_log_killed_in_image, 90),
    ("two_runs_one_log", case_two_runs_one_log, 90),
    ("info_port_baud_log", case_info_port_baud_log, 60),
    ("info_pinned_port_unknown_product", case_info_pinned_port_unknown_product, 60),
    ("info_unit_text_escaped", case_info_unit_text_escaped, 60),
    ("pinned_port_failures", case_pinned_port_failures, 90),
    ("no_wait_on_terminal", case_no_wait_on_terminal, 60),
    ("list_ports", case_list_ports, 60),
    ("help_and_version", case_help_and_version, 60),
    ("bad_command_lines", case_bad_command_lines, 60),
    ("port_path_refusals", case_port_path_refusals, 60),
    ("standin_path_never_opened", case_standin_path_never_opened, 60),
]


def main():
    args = harness.command_line(__doc__, CASES, ("tool", "unitsim", "images"), ("hexconv",))
    function, timeout = next((f, t) for n, f, t in CASES if n == args.case)

    def body(directory):
        case = function(harness.Images(args.images, args.hexconv, directory))
        if case.get("standin_only") and not args.standin:
            raise harness.Skip("a release build would open the machine's device")
        tool = harness.place_tool(args.tool, directory)
        case.get("prepare", lambda _: None)(directory)
        with harness.units(args.unitsim, directory, case["ports"]) as sims:
            if "runs" in case:
                run = harness.run_all(case, [tool], directory, timeout - 15)
                seconds = max(one.seconds for _, one in run)
            else:
                default = harness.run_on_terminal if case.get("terminal") else harness.run_with_pipe
                command = [tool] + harness.port_args(case.get("args", []), directory)
                run = case.get("run", default)(command, directory, case.get("input", ""), timeout - 15)
                seconds = run.seconds
            problems = harness.check_run(case, run, sims, args.standin, directory)
        if problems:
            raise harness.Failure("\n".join(problems))
        return f"the tool ran {seconds:.1f} s"

    return harness.run_reported("e2e", args.case, args.keep, body)


if __name__ == "__main__":
    sys.exit(main())
