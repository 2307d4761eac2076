#!/usr/bin/env python3
"""End-to-end cases of the Windows executable, run under Wine against unitsim,
and of the package writer WriteWebUploadPackage.exe beside it.

The cases, their expected transcripts and the checks of what the unit received
are those of the POSIX end-to-end runner (tests/e2e/run_e2e.py); only the way
the tool reaches its COM ports differs. Each case gets a fresh Wine prefix in
a temporary directory, and unitsim links its pseudo-terminal into the
prefix's dosdevices folder as comN, where Wine's CreateFileA("\\\\.\\COMn")
finds it.

No port of this machine may ever be opened. Wine's mount manager maps COM
numbers to the machine's /dev/ttyS*, ttyUSB* and ttyACM* by itself, and redoes
it every time the Wine server starts; it also creates a COM device object for
each, which opens even where the link is gone. So:

  * the mount manager is disabled for the prefix (WINEDLLOVERRIDES
    mountmgr.sys=d): no COM link and no COM device is ever made by Wine; a
    port is there only if unitsim linked it;
  * should it run all the same, HKLM\\Software\\Wine\\Ports names COM1 to
    COM32 (every number the tool's detection tries) with paths that do not
    exist, so the machine's devices could only be numbered COM33 and up,
    which the tool never tries; once unitsim has made its links, their
    targets replace those paths for the simulated ports (a build with
    stand-in images opens only the pseudo-terminals named there);
  * the dosdevices folder is checked after the prefix is made, before the
    tool runs and after it: COM links of the case's simulators (and of the
    plain files it asks for) only, none leading to a device of the machine,
    or the case fails;
  * the prefix's server, and anything else still running with the prefix,
    is stopped on every path out.

    run_wine.py --list
    run_wine.py --exe EXE --unitsim EXE [--images DIR] [--hexconv EXE] --case NAME [--keep]

Exit code 77 means "skipped" (no Wine, or no Windows executable built).
"""

import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import time

import fwharness as harness
import run_e2e  # the cases run here

PORTS = range(1, 33)  # every port number the tool's detection tries

# The cases run under Wine: both whole updates and the failure paths, each of
# which goes through other Win32 calls (time-outs over every rate, scanf on a
# pipe, a refused announcement, a wrong acknowledgement, a port that goes away
# in the middle of a write). Three cases of the POSIX runner are left out, for
# what Wine does with a pseudo-terminal rather than what a Windows COM port
# driver does (observed with Wine 8.0):
#   held_port,             Wine opens a port that another program holds: it
#   key_press_on_terminal  neither takes nor honours a lock, and the
#                          pseudo-terminal's exclusive mode does not bind root;
#   manual_arbitrary_rate  Wine accepts 250000 baud but does not give the
#                          rate to the pseudo-terminal, so the unit never
#                          hears the tool.
LEFT_OUT = {"held_port", "key_press_on_terminal", "manual_arbitrary_rate"}
# Of the cases of the command-line options, those that show nothing of the
# Windows build that the POSIX runs don't (the options are read by the same
# code) or that rest on POSIX alone (signals, a terminal as standard input,
# the port map's folder, three whole updates at once) are left out too: Wine
# runs --port with --baud, --info and --log (info_port_baud_log), the log
# of a failed update and a second run refused the log of a run still going
# (two_runs_one_log: the Windows lock).
# A station runs here with three units, one failing (station_one_unit_fails):
# the same station mode, its runs started by CreateProcess. --all over the
# 32 ports of Wine's table and the board drawn in tmux rest on POSIX
# pseudo-terminals and terminals alone.
LEFT_OUT |= {"station_all_ports", "station_board_on_terminal"}
LEFT_OUT |= {"three_units_at_once", "log_killed_in_image", "info_pinned_port_unknown_product",
             "pinned_port_failures", "no_wait_on_terminal", "list_ports", "help_and_version",
             "bad_command_lines"}
# Linux device paths for --port are the POSIX build's; the Windows build's
# refusal of one is device_path_refused below.
LEFT_OUT |= {"ports_by_path", "port_path_refusals", "standin_path_never_opened"}

# Devices of the machine that Wine links to COM numbers by itself.
MACHINE_PORT = re.compile(r"^/dev/(ttyS|ttyUSB|ttyACM)\d+$")

# Bound on Wine's making of a fresh prefix (about 5 s on an idle machine) and
# on each of its other steps; added to each case's ctest time-out.
SETUP_SECONDS = 90


class Wine:
    """One fresh prefix, its server and its COM port map."""

    def __init__(self, directory):
        self.prefix = os.path.join(directory, "prefix")
        self.dosdevices = os.path.join(self.prefix, "dosdevices")
        self.wine = shutil.which("wine")
        self.wineserver = shutil.which("wineserver")
        # Wine keeps its server's socket in a folder under TMPDIR; inside the
        # case's folder it goes away with the case instead of piling up in /tmp.
        self.tmp = os.path.join(directory, "tmp")
        os.makedirs(self.tmp, exist_ok=True)
        self.env = dict(os.environ)
        self.env.update(
            {
                "TMPDIR": self.tmp,
                "WINEPREFIX": self.prefix,
                "WINEDEBUG": "-all",
                # No mount manager (see above); no Mono or Gecko installer and
                # no desktop menu entries, which a headless test has no use for.
                "WINEDLLOVERRIDES": "mountmgr.sys=d;mscoree,mshtml=;winemenubuilder.exe=d",
            }
        )
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)

    def run(self, args, timeout, **kwargs):
        kwargs.setdefault("stdout", subprocess.DEVNULL)
        kwargs.setdefault("stderr", subprocess.DEVNULL)
        return subprocess.run(args, env=self.env, timeout=timeout, **kwargs)

    def set_up(self):
        self.run([self.wine, "wineboot", "--init"], SETUP_SECONDS, check=True)
        self.set_port_table({port: f"/nonexistent/wine-e2e/com{port}" for port in PORTS})
        self.check_port_map({}, "once the prefix was made")

    def set_port_table(self, paths):
        """Wine's port table (HKLM\\Software\\Wine\\Ports): COM number -> Unix path."""
        reg = os.path.join(os.path.dirname(self.prefix), "ports.reg")
        lines = ["Windows Registry Editor Version 5.00", "", r"[HKEY_LOCAL_MACHINE\Software\Wine\Ports]"]
        lines += [f'"COM{port}"="{path}"' for port, path in sorted(paths.items())]
        with open(reg, "w", encoding="utf-16") as f:
            f.write("\r\n".join(lines) + "\r\n")
        self.run([self.wine, "regedit", "/S", reg], SETUP_SECONDS, check=True)

    def check_port_map(self, expected, when, vanished_allowed=False):
        """The COM links are `expected` (name -> target); none leads to the machine.

        With vanished_allowed, links may be missing (a simulated unit that
        disappears takes its link along), but none may be new or changed.
        """
        problems = []
        actual = {}
        for name in sorted(os.listdir(self.dosdevices)):
            path = os.path.join(self.dosdevices, name)
            if re.fullmatch(r"com\d+", name, re.I):
                actual[name] = os.readlink(path) if os.path.islink(path) else "(not a link)"
            if os.path.islink(path) and (
                MACHINE_PORT.match(os.readlink(path)) or MACHINE_PORT.match(os.path.realpath(path))
            ):
                problems.append(f"{name} -> {os.path.realpath(path)} is a device of this machine")
        unexpected = {k: v for k, v in actual.items() if expected.get(k) != v}
        if unexpected or (actual != expected and not vanished_allowed):
            problems.append(f"COM links {actual}, expected {expected}")
        if problems:
            raise harness.Failure(f"Wine's COM port map {when} is unsafe:\n  " + "\n  ".join(problems))

    def tear_down(self):
        """Stops the prefix's server and every Wine process of the prefix."""
        if self.wineserver:
            try:
                self.run([self.wineserver, "-k"], 30)
                self.run([self.wineserver, "-w"], 30)
            except subprocess.TimeoutExpired:
                pass
        # Whatever still runs with this prefix was started here. A killed
        # process is gone only once the kernel has ended it, which on a busy
        # machine takes a moment: the survivors are counted after that.
        for pid in self.processes():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + 30
        while self.processes() and time.monotonic() < deadline:
            time.sleep(0.1)

    def processes(self):
        mine = []
        marker = f"WINEPREFIX={self.prefix}".encode()
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/environ", "rb") as f:
                    if marker in f.read().split(b"\0"):
                        mine.append(int(entry))
            except OSError:
                continue
        return mine


def release_images_dir_of(exe):
    """FIRMWARE_IMAGE_DIR of the Windows build, from its cache; None for stand-ins."""
    cache = os.path.join(os.path.dirname(os.path.abspath(exe)), "CMakeCache.txt")
    if os.path.exists(cache):
        with open(cache) as f:
            for line in f:
                if line.startswith("FIRMWARE_IMAGE_DIR:") and line.split("=", 1)[1].strip():
                    return line.split("=", 1)[1].strip()
    return None


def images_dir_of(exe):
    """The image files the Windows build embedded."""
    release = release_images_dir_of(exe)
    return release or os.path.join(os.path.dirname(os.path.abspath(exe)), "standin-images")


def is_standin_build(exe):
    """From the build's cache; an executable outside a build folder comes from a
    release package, which never holds a build from stand-in images."""
    in_build = os.path.exists(os.path.join(os.path.dirname(os.path.abspath(exe)), "CMakeCache.txt"))
    return in_build and release_images_dir_of(exe) is None


def check_standin_warning(exe, err):
    """A stand-in build warns on standard error (among Wine's own messages); a release build does not."""
    warned = re.search(re.escape(harness.STANDIN_WARNING) + rb"\r?\n", err) is not None
    if is_standin_build(exe) and not warned:
        return ["the stand-in build did not warn on standard error"]
    if not is_standin_build(exe) and harness.STANDIN_WARNING in err:
        return ["the release build warned of stand-in images"]
    return []


def simulated_ports(wine, ports):
    """The COM links unitsim made: each to its pseudo-terminal, or to nothing."""
    links = {}
    for port in ports:
        path = os.path.join(wine.dosdevices, f"com{port}")
        target = os.readlink(path)
        absent = os.path.join(wine.dosdevices, f".absent-com{port}")
        if not (target.startswith("/dev/pts/") or target == absent):
            raise harness.Failure(f"unitsim linked com{port} to {target}, not to a pseudo-terminal")
        links[f"com{port}"] = target
    return links


def plain_file_ports(wine, directory, ports):
    """COM links to a plain file each (no terminal at all), made for the case."""
    links = {}
    for port in ports:
        path = os.path.join(directory, f"plain-file-com{port}")
        open(path, "w").close()
        os.symlink(path, os.path.join(wine.dosdevices, f"com{port}"))
        links[f"com{port}"] = path
    return links


IN_OPEN = 0x20


def watch_opens(paths):
    """An inotify descriptor that records every open of these files, by any process."""
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
    if fd < 0 or any(libc.inotify_add_watch(fd, os.fsencode(p), IN_OPEN) < 0 for p in paths):
        raise harness.Failure(f"inotify: {os.strerror(ctypes.get_errno())}")
    return fd


def case_plain_file_port_left_alone(images):
    # Wine's port table maps COM1 to a plain file, not a pseudo-terminal: a
    # build with stand-in images never opens it, says so on standard error,
    # and finds the unit on COM3 as if COM1 were missing. The unit's logic
    # device is not one the tool knows, which ends the run early.
    return {
        "standin_only": True,
        "ports": {3: ["--device-code", "2"]},
        "plain_file_ports": [1],
        "stdout": harness.BANNER + harness.detected(3, 57600) + harness.versions(2) + harness.PRODUCT
        + harness.UNKNOWN_PRODUCT + harness.FAILED_END,
        "stderr_search": rb"COM1 \(/\S*/plain-file-com1\): not a pseudo-terminal; ",
        "exit": 1,
        "commands": {3: harness.heard(57600, harness.HELP, harness.VERSION)},
    }


def case_list_ports_of_the_port_table(images):
    # --list-ports of a build with stand-in images: the ports of Wine's port
    # table that lead somewhere, the plain file named and left unopened (the
    # runner watches it), the unit's pseudo-terminal free; nothing is sent.
    # Wine's SetupAPI knows no device of the ports class, so no port gets
    # Device Manager's names and the list is what it was without them.
    return {
        "standin_only": True,
        "ports": {3: []},
        "plain_file_ports": [1],
        "args": ["--list-ports"],
        "stdout_re": r"COM1    /\S*/plain-file-com1  \(not a pseudo-terminal; a program with stand-in images "
        r"leaves the port alone\)\r\nCOM3    /dev/pts/\d+\r\n",
        "exit": 0,
    }


def case_device_path_refused(images):
    # A Linux device path given to the Windows build: Wine would open the Unix
    # path, past every guard of the Windows layer, so it is refused unopened.
    return {
        "ports": {3: []},
        "args": ["--port", "/dev/ttyS0", "--no-wait"],
        "stdout": harness.BANNER + "ERROR: Opening /dev/ttyS0 failed !",
        "stderr_search": rb"/dev/ttyS0: a device path names a port on Linux only; here, give the COM number\r?\n"
        rb"ERROR: /dev/ttyS0 cannot be used; no other port is tried",
        "exit": 255,
    }


def case_web_package_replaced(images):
    # WriteWebUploadPackage.exe beside the tool, run twice in one folder: the
    # second run replaces the first one's package, a plain file by then. A
    # stale text is put in that file between the runs, so that a package
    # left as it was can't pass for the new one.
    return {"web_package": images[harness.MICROCONTROLLER]}


# Cases of this runner only: name, function, time-out in seconds.
WINE_CASES = [
    ("plain_file_port_left_alone", case_plain_file_port_left_alone, 90),
    ("list_ports_of_the_port_table", case_list_ports_of_the_port_table, 60),
    ("device_path_refused", case_device_path_refused, 60),
    ("web_package_replaced", case_web_package_replaced, 60),
]


def web_package_problems(wine, exe, directory, image, limit):
    """Two runs of the package writer in one folder, each to exit 0 and leave
    the whole package alone there."""
    writer = os.path.join(os.path.dirname(os.path.abspath(exe)), "WriteWebUploadPackage.exe")
    if not os.path.isfile(writer):
        raise harness.Skip(f"{writer} not built")
    folder = os.path.join(directory, "web")
    os.makedirs(folder)
    package = os.path.join(folder, "FwToUpload.bin")
    problems = []
    for number in (1, 2):
        run = harness.run_with_pipe([wine.wine, writer], folder, "", limit / 2, wine.env)
        left = sorted(os.listdir(folder))
        if run.code != 0 or left != ["FwToUpload.bin"]:
            problems.append(f"run {number}: exit {run.code}, the folder holds {left}, the run printed "
                            f"{run.output[-120:]!r}")
            break
        announced = re.search(rb"Firmware CheckSum = (\d+) !", run.output)
        with open(package, "rb") as f:
            written = f.read()
        problems += [f"run {number}: {problem}" for problem in
                     harness.web_package_problems(written, image, announced and int(announced.group(1)))]
        if number == 1:
            with open(package, "wb") as f:
                f.write(b"KorVex\r\nstale package\r\n")
    return problems


def machine_tx_counts():
    """Bytes sent by the machine's UARTs, for the log (the kernel console may add some)."""
    try:
        with open("/proc/tty/driver/serial") as f:
            return dict(re.findall(r"^(\d+):.*? tx:(\d+)", f.read(), re.M))
    except OSError:
        return None


def check_prerequisites(args):
    missing = [tool for tool in ("wine", "wineserver") if not shutil.which(tool)]
    if missing:
        raise harness.Skip(f"{' and '.join(missing)} not installed (apt-get install wine wine64)")
    if not os.path.isfile(args.exe):
        raise harness.Skip(f"{args.exe} not built (cmake --preset mingw && cmake --build --preset mingw)")
    if not os.path.isdir(args.images):
        raise harness.Skip(f"the images of the Windows build are not in {args.images}")


def main():
    cases = [(n, f, t + SETUP_SECONDS) for n, f, t in run_e2e.CASES + WINE_CASES if n not in LEFT_OUT]
    args = harness.command_line(__doc__, cases, ("exe", "unitsim"), ("images", "hexconv"))
    function, timeout = next((f, t - SETUP_SECONDS) for n, f, t in cases if n == args.case)
    args.images = args.images or images_dir_of(args.exe)
    try:
        check_prerequisites(args)
    except harness.Skip as e:
        print(f"wine e2e {args.case}: SKIPPED: {e}")
        return harness.SKIP

    def body(directory):
        wine = Wine(directory)
        try:
            case = function(harness.Images(args.images, args.hexconv, directory))
            case.get("prepare", lambda _: None)(directory)
            if case.get("standin_only") and not is_standin_build(args.exe):
                raise harness.Skip("a release build opens every port that Wine maps")
            started = time.monotonic()
            wine.set_up()
            setup_seconds = time.monotonic() - started
            if "web_package" in case:
                problems = web_package_problems(wine, args.exe, directory, case["web_package"], timeout - 15)
                if problems:
                    raise harness.Failure("\n".join(problems))
                return f"Wine set-up {setup_seconds:.1f} s, the package written twice in one folder"
            with harness.units(args.unitsim, wine.prefix, case["ports"]) as sims:
                ports = simulated_ports(wine, case["ports"])
                plain = plain_file_ports(wine, directory, case.get("plain_file_ports", []))
                ports.update(plain)
                wine.set_port_table({int(name[3:]): target for name, target in ports.items()})
                wine.check_port_map(ports, "before the tool ran")
                watch = watch_opens(plain.values())
                command = [wine.wine, os.path.abspath(args.exe)] + case.get("args", [])
                try:
                    if "runs" in case:
                        runs = harness.run_all(case, command, directory, timeout - 15, wine.env)
                    else:
                        runs = [(case, harness.run_with_pipe(command, directory, case.get("input", ""), timeout - 15,
                                                             wine.env))]  # fmt: skip
                    try:
                        opened = os.read(watch, 4096)
                    except BlockingIOError:
                        opened = b""
                finally:
                    os.close(watch)
                # Still the simulators' links, and only those: nothing was
                # remapped while the tool ran.
                wine.check_port_map(ports, "after the run", vanished_allowed=True)
                # Wine's own messages go to standard error, which is therefore
                # not checked beyond the stand-in warning and what the case
                # looks for; shown on failure.
                unchecked = [(planned, one._replace(err=None)) for planned, one in runs]
                problems = harness.check_run(case, unchecked if "runs" in case else unchecked[0][1], sims,
                                             directory=directory)  # fmt: skip
                err = b"".join(one.err for _, one in runs)
                for _, one in runs:
                    problems += check_standin_warning(args.exe, one.err)
                if opened:
                    problems.append(f"the tool opened {sorted(plain.values())}, which are no terminals")
                if "stderr_search" in case and not re.search(case["stderr_search"], err):
                    problems.append(f"standard error does not hold {case['stderr_search']!r}")
            stderr = err.decode(errors="replace").strip()
            if problems:
                raise harness.Failure("\n".join(problems + ([f"Wine's standard error:\n{stderr}"] if stderr else [])))
            seconds = max(one.seconds for _, one in runs)
            return f"Wine set-up {setup_seconds:.1f} s, the tool ran {seconds:.1f} s"
        except subprocess.CalledProcessError as e:
            raise harness.Failure(f"Wine could not prepare its prefix: {e}")
        finally:
            wine.tear_down()
            left = wine.processes()
            if left:
                raise harness.Failure(f"Wine processes {left} of the prefix survived the clean-up")

    tx_before = machine_tx_counts()
    status = harness.run_reported("wine e2e", args.case, args.keep, body)
    tx_after = machine_tx_counts()
    if tx_before is not None and tx_after != tx_before:
        print(f"note: the machine's UART tx counters moved: {tx_before} -> {tx_after}")
    return status


if __name__ == "__main__":
    sys.exit(main())
