#!/usr/bin/env python3
"""End-to-end cases: the real update executable against unitsim.

Each case makes a temporary directory holding a copy of the executable and a
`dosdevices` folder, starts one unitsim per simulated port, runs the
executable there with no arguments and a pipe (or, as an operator's console,
a pseudo-terminal) as its standard input, and checks, byte for byte, what it
printed, its exit code, and what the unit received: the images (against an
independent conversion of the image files the build embedded), their
announced checksums and lengths, and the commands. The texts, the images and
the running and checking are the runners' harness (tests/harness/fwharness.py);
the Wine runner runs these cases too.

    run_e2e.py --list
    run_e2e.py --tool EXE --unitsim EXE --images DIR [--hexconv EXE] --case NAME [--keep]
"""

import re
import sys

import fwharness as harness
from fwharness import (
    BANNER,
    DEVICE_ENG_SAMPLE,
    DEVICE_XC7A35,
    FAILED_END,
    HELD_COM3,
    HELP,
    IDENTIFY,
    LINE_GONE_COM3,
    LOGIC_PREPARE,
    LOGIC_SEND,
    NOT_READY,
    OK,
    PRESS_ANY_KEY,
    PRODUCT,
    PRODUCT_FAILED,
    RX_OK,
    TX_XC7A35,
    UNKNOWN_PRODUCT,
    VERSION,
    announcement,
    detected,
    full_update,
    heard,
    identified_tx,
    logic_entry,
    manual,
    manual_port,
    percentages,
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


# Name, function, ctest time-out in seconds; the long ones first, so that
# under ctest -j2 they start together.
CASES = [
    ("full_tx_xc7a35", case_full_tx_xc7a35, 320),
    ("full_rx_pelmaroth_v1", case_full_rx_pelmaroth_v1, 320),
    ("wrong_data_ack", case_wrong_data_ack, 90),
    ("missing_ready", case_missing_ready, 90),
    ("manual_after_silent_detection", case_manual_after_silent_detection, 90),
    ("manual_arbitrary_rate", case_manual_arbitrary_rate, 90),
    ("unknown_device_code", case_unknown_device_code, 90),
    ("held_port", case_held_port, 90),
    ("unit_vanishes", case_unit_vanishes, 90),
    ("key_press_on_terminal", case_key_press_on_terminal, 60),
]


def main():
    args = harness.command_line(__doc__, CASES, ("tool", "unitsim", "images"), ("hexconv",))
    function, timeout = next((f, t) for n, f, t in CASES if n == args.case)

    def body(directory):
        case = function(harness.Images(args.images, args.hexconv, directory))
        tool = harness.place_tool(args.tool, directory)
        run_tool = harness.run_on_terminal if case.get("terminal") else harness.run_with_pipe
        with harness.units(args.unitsim, directory, case["ports"]) as sims:
            run = run_tool([tool], directory, case.get("input", ""), timeout - 15)
            problems = harness.check_run(case, run, sims, args.standin)
        if problems:
            raise harness.Failure("\n".join(problems))
        return f"the tool ran {run.seconds:.1f} s"

    return harness.run_reported("e2e", args.case, args.keep, body)


if __name__ == "__main__":
    sys.exit(main())
