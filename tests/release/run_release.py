#!/usr/bin/env python3
"""The release command tools/release/release.sh and a release named by its catalogue
file alone, from copies of this build's stand-in images.

  stand_in_copy          the whole release on a copy of the stand-ins, signed
                         with a throwaway certificate (Linux and Windows
                         builds, two updates under Wine and two natively from
                         the unpacked packages, ZIP and tar.gz), and again
                         unsigned, without the updates, in another folder:
                         the signature verifies and removing it gives back
                         the unsigned executable, the two Linux packages are
                         the same bytes, FwToUpload.bin holds the
                         microcontroller image; stand-in refusal and
                         clean-tree check switched off; about 5 minutes
  new_release_catalogue  a 1.1.0 catalogue naming renamed copies, given as
                         FIRMWARE_CATALOGUE, builds a tool that announces
                         1.1.0 and sends the renamed image
  refusals               stand-ins, a missing image, a tree with changes, a
                         build folder that is a file or holds other files, a
                         key without its certificate or not its certificate's,
                         an expired or not yet valid certificate, one without
                         code signing, a password without a key; each before
                         anything is built (a stand-in cmake fails at once)

    run_release.py --list
    run_release.py --source DIR --build DIR --unitsim EXE --hexconv EXE --case NAME [--keep]

--build is the native build with the stand-ins, unitsim and hexconv. Exit
code 77 means "skipped" (no mingw-w64 or Wine). Every tool built here runs
beside a port map (dosdevices) holding only simulated units.
"""

import datetime
import hashlib
import io
import os
import pathlib
import re
import shutil
import ssl
import subprocess
import sys
import tarfile
import zipfile

import catalogue
import fwharness as harness

HERE = os.path.dirname(os.path.abspath(__file__))

PACKAGE_FILES = {
    "zip": ["FwToUpload.bin", "IMAGES.txt", "README.txt", "SHA256SUMS", "TessaronFwUpgrade.exe"],
    "tar.gz": ["FwToUpload.bin", "IMAGES.txt", "README.txt", "SHA256SUMS", "TessaronFwUpgrade"],
}


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


def manifest_rows(path):
    """(version, [(file, image length)]) of an IMAGES.txt."""
    version, rows = None, []
    with open(path) as f:
        for line in f:
            if line.startswith("version: "):
                version = line.split(": ", 1)[1].strip()
            elif line.strip() and not line.startswith(("#", "images: ")):
                fields = line.split()
                rows.append((fields[0], int(fields[3])))
    return version, rows


def copy_images(args, directory, leave_out=None):
    images = os.path.join(directory, "images")
    os.makedirs(images)
    for name in harness.IMAGE_FILES:
        if name != leave_out:
            shutil.copy(os.path.join(args.build, "standin-images", name), images)
    return images


def case_new_release_catalogue(args, directory):
    release = catalogue.load(catalogue.DEFAULT_PATH)
    images = os.path.join(directory, "images")
    os.makedirs(images)
    # Every file renamed, as a new release names its images.
    files = [f"NEXT_R1_10_IMAGE_{k}{os.path.splitext(name)[1]}" for k, name in enumerate(release.files)]
    for old, name in zip(release.files, files):
        shutil.copy(os.path.join(args.build, "standin-images", old), os.path.join(images, name))
    release.version, release.files = "1.1.0", files
    catalogue_file = os.path.join(directory, "catalogue.json")
    with open(catalogue_file, "w") as f:
        f.write(release.text())

    folder = os.path.join(directory, "build")
    configure = ["cmake", "-S", args.source, "-B", folder, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                 "-DFWUPG_BUILD_TESTS=OFF", f"-DFIRMWARE_CATALOGUE={catalogue_file}", f"-DFIRMWARE_IMAGE_DIR={images}"]
    for command in (configure, ["cmake", "--build", folder, "--target", "TessaronFwUpgrade"]):
        result = run(command)
        if result.returncode != 0:
            raise harness.Failure(f"{' '.join(command)} failed:\n{result.stdout[-2000:]}{result.stderr[-2000:]}")

    problems = []
    version, rows = manifest_rows(os.path.join(folder, "IMAGES.txt"))
    _, old_rows = manifest_rows(os.path.join(args.build, "IMAGES.txt"))
    expected = [(name, length) for name, (_, length) in zip(release.files, old_rows)]
    if (version, rows) != ("1.1.0", expected):
        problems.append(f"IMAGES.txt gives {version} {rows}, expected 1.1.0 {expected}")
    # The new tool, with the end-to-end runner reading the same catalogue: its
    # banner, and the renamed TX logic image announced, then refused.
    result = run([sys.executable, os.path.join(HERE, os.pardir, "e2e", "run_e2e.py"),
                  "--tool", os.path.join(folder, "TessaronFwUpgrade"),
                  "--unitsim", args.unitsim, "--hexconv", args.hexconv,
                  "--images", images, "--case", "missing_ready"],
                 env=dict(os.environ, FWUPG_CATALOGUE=catalogue_file), timeout=120)
    if result.returncode != 0:
        problems.append(f"the 1.1.0 tool's run:\n{result.stdout}{result.stderr}")
    if problems:
        raise harness.Failure("\n".join(problems))
    return "the 1.1.0 tool announced 1.1.0 and sent the renamed image"


def release(args, images, *options, source=None, env=None):
    script = os.path.join(source or args.source, "tools", "release", "release.sh")
    return run(["bash", script, *options, images], timeout=1500, env=env)


# A throwaway CA that signs its own request with the given validity and
# extended key usage: "req -x509" can't make a certificate that is not yet
# valid or already expired.
CA_CONFIG = """[ca]
default_ca = throwaway
[throwaway]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
[codeSigning]
extendedKeyUsage = codeSigning
[serverAuth]
extendedKeyUsage = serverAuth
"""


def throwaway_certificate(directory, name, key, days_from, days_to, usage="codeSigning"):
    """A self-signed certificate of `key`, valid from now + days_from to now + days_to."""
    folder = pathlib.Path(directory, "ca")
    if not folder.exists():
        folder.mkdir()
        (folder / "ca.cnf").write_text(CA_CONFIG)
        (folder / "index.txt").write_text("")
        (folder / "serial").write_text("01\n")
    now = datetime.datetime.now(datetime.timezone.utc)
    when = [(now + datetime.timedelta(days=d)).strftime("%Y%m%d%H%M%SZ") for d in (days_from, days_to)]
    request, cert = folder / f"{name}.csr", os.path.join(directory, f"{name}.pem")
    for command in (["req", "-new", "-key", key, "-subj", "/CN=Tessaron release test", "-out", request],
                    ["ca", "-batch", "-selfsign", "-config", "ca.cnf", "-keyfile", key, "-in", request,
                     "-startdate", when[0], "-enddate", when[1], "-extensions", usage, "-notext", "-out", cert]):
        run(["openssl", *command], cwd=folder, check=True)
    return cert


def case_refusals(args, directory):
    problems = []
    build = os.path.join(directory, "release-build")
    # Every refusal comes before the builds: a release that gets past one
    # meets this cmake, which fails at once, and the row's own check tells.
    stub = pathlib.Path(directory, "stub-bin")
    stub.mkdir()
    (stub / "cmake").write_text("#!/bin/sh\necho 'cmake: not in a refused release' >&2\nexit 1\n")
    (stub / "cmake").chmod(0o755)
    env = dict(os.environ, PATH=f"{stub}{os.pathsep}{os.environ['PATH']}")

    def refused(images, *options, source=None, **environment):
        return release(args, images, *options, source=source, env=dict(env, **environment))

    def expect_refusal(what, result, message):
        if result.returncode == 0 or f"Refusing to release: {message}" not in result.stderr:
            problems.append(f"{what}: exit {result.returncode}, standard error {result.stderr!r}")
        if os.path.exists(build):
            problems.append(f"{what}: the release build folder was made")
            shutil.rmtree(build)  # so that the next row is judged on its own

    standins = copy_images(args, directory)
    expect_refusal("stand-in images", refused(standins, "--test-allow-dirty-tree", "--build-dir", build),
                   f"{standins} holds stand-in images")
    missing = harness.IMAGE_FILES[-1]
    partial = copy_images(args, os.path.join(directory, "partial"), leave_out=missing)
    expect_refusal("a missing image",
                   refused(partial, "--test-allow-dirty-tree", "--test-allow-standin-images", "--build-dir",
                           build), f"{partial} lacks {missing}")

    # A work tree of its own: the source's files, committed, then one more.
    tree = os.path.join(directory, "tree")
    listed = run(["git", "-C", args.source, "ls-files", "-co", "--exclude-standard", "-z"], check=True)
    for name in filter(None, listed.stdout.split("\0")):
        if os.path.isfile(os.path.join(args.source, name)):
            os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
            shutil.copy2(os.path.join(args.source, name), os.path.join(tree, name))
    git = ["git", "-C", tree, "-c", "user.name=release test", "-c", "user.email=release@test.invalid"]
    for command in (["init", "-q"], ["add", "-A"], ["commit", "-q", "-m", "tree"]):
        run(git + command, check=True)
    # Clean, it gets past the check to the image folder.
    nowhere = os.path.join(directory, "no-such-folder")
    expect_refusal("a clean tree", refused(nowhere, "--build-dir", build, source=tree),
                   f"{nowhere} is not a folder")
    with open(os.path.join(tree, "stray.txt"), "w") as f:
        f.write("not committed\n")
    expect_refusal("a tree with changes",
                   refused(standins, "--test-allow-standin-images", "--build-dir", build, source=tree),
                   f"the work tree {tree} has changes")

    # Build folders the command did not make, left as they are; signing keys
    # that can't sign today.
    notes, foreign = pathlib.Path(directory, "notes.txt"), pathlib.Path(directory, "foreign")
    foreign.mkdir()
    for path in (notes, foreign / "keep.txt"):
        path.write_text("not a build\n")
    keys = [os.path.join(directory, f"key{k}.pem") for k in (1, 2)]
    for key in keys:
        run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", key], check=True)
    valid = throwaway_certificate(directory, "valid", keys[0], -1, 2)
    expired = throwaway_certificate(directory, "expired", keys[0], -3, -1)
    future = throwaway_certificate(directory, "future", keys[0], 1, 3)
    server = throwaway_certificate(directory, "server", keys[0], -1, 2, usage="serverAuth")
    holder = "the certificate CN=Tessaron release test in "
    for what, options, message, environment in [
        ("a file as build folder", ["--build-dir", notes], f"{notes} is not a folder", {}),
        ("a folder of other files", ["--build-dir", foreign], f"{foreign} holds files and was not made by", {}),
        ("a key without its certificate", ["--build-dir", build, "--sign-key", notes],
         "a code-signing key needs its certificate", {}),
        ("a key that is not the certificate's", ["--build-dir", build, "--sign-key", keys[1], "--sign-cert", valid],
         f"{keys[1]} is not the key of the certificate {valid}", {}),
        ("an expired certificate", ["--build-dir", build, "--sign-key", keys[0], "--sign-cert", expired],
         f"{holder}{expired} has expired: valid until ", {}),
        ("a certificate not yet valid", ["--build-dir", build, "--sign-key", keys[0], "--sign-cert", future],
         f"{holder}{future} is not yet valid: valid from ", {}),
        ("a certificate without code signing", ["--build-dir", build, "--sign-key", keys[0], "--sign-cert", server],
         f"{holder}{server} lacks the code-signing extended key usage", {}),
        ("a password file without a key", ["--build-dir", build, "--sign-password-file", notes],
         "a signing password is given but no code-signing key", {}),
        ("a password in the environment without a key", ["--build-dir", build],
         "a signing password is given but no code-signing key", {"FWUPG_SIGN_PASSWORD": "secret"}),
    ]:
        expect_refusal(what, refused(standins, "--test-allow-dirty-tree", "--test-allow-standin-images", *options,
                                     **environment), message)
    if notes.read_text() != "not a build\n" or os.listdir(foreign) != ["keep.txt"]:
        problems.append(f"a refused release changed {notes} or {foreign}")
    if problems:
        raise harness.Failure("\n".join(problems))
    return ("stand-ins, a missing image, a tree with changes, foreign build folders, keys and certificates "
            "that can't sign and a password without a key refused")


def released(result, signed):
    """{"zip"|"tar.gz": (path, files by name)} from a release's last lines."""
    if result.returncode != 0:
        raise harness.Failure(f"release.sh ended with {result.returncode}:\n{result.stderr}")
    *_, said, first, second = result.stdout.rstrip("\n").split("\n")
    expected = "release: the Windows tool is signed: " if signed else "release: UNSIGNED: "
    if not said.startswith(expected):
        raise harness.Failure(f"the line before the packages does not begin {expected!r}: {said!r}")
    packages = {}
    for line in (first, second):
        match = re.fullmatch(r"(\S+\.(zip|tar\.gz)) SHA-256 ([0-9a-f]{64})", line)
        if not match:
            raise harness.Failure(f"a last line does not name a package and its SHA-256: {line!r}")
        path, kind, sha256 = match.groups()
        data = pathlib.Path(path).read_bytes()
        if hashlib.sha256(data).hexdigest() != sha256 or not path.endswith(f"-STANDIN-TEST.{kind}"):
            raise harness.Failure(f"{path}: not a test package of SHA-256 {sha256}")
        if kind == "zip":
            with zipfile.ZipFile(io.BytesIO(data)) as archive:
                files = {name.split("/", 1)[1]: archive.read(name) for name in archive.namelist()}
        else:
            with tarfile.open(fileobj=io.BytesIO(data)) as archive:
                files = {m.name.split("/", 1)[1]: archive.extractfile(m).read() for m in archive if m.isfile()}
        if sorted(files) != PACKAGE_FILES[kind]:
            raise harness.Failure(f"{path} holds {sorted(files)}")
        sums = "".join(f"{hashlib.sha256(files[name]).hexdigest()}  {name}\n"
                       for name in PACKAGE_FILES[kind] if name != "SHA256SUMS")
        if files["SHA256SUMS"].decode() != sums:
            raise harness.Failure(f"{path}: SHA256SUMS is {files['SHA256SUMS']!r}, the files give {sums!r}")
        packages[kind] = (path, data, files)
    return packages


def case_stand_in_copy(args, directory):
    for tool, why in (("x86_64-w64-mingw32-g++", "mingw-w64"), ("wine", "Wine"), ("osslsigncode", "osslsigncode")):
        if not shutil.which(tool):
            raise harness.Skip(f"{why} not installed")
    images = copy_images(args, directory)
    key, cert = os.path.join(directory, "key.pem"), os.path.join(directory, "cert.pem")
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "2",
         "-subj", "/CN=Tessaron release test", "-addext", "extendedKeyUsage=codeSigning"], check=True)
    fingerprint = hashlib.sha256(ssl.PEM_cert_to_DER_cert(pathlib.Path(cert).read_text())).hexdigest()
    # The unsigned release in a deeper folder of another name, without the
    # updates; then the whole signed one, which reports its updates.
    options = ["--test-allow-standin-images", "--test-allow-dirty-tree", "--native-build", args.build]
    unsigned_build = os.path.join(directory, "unsigned", "release-build")
    unsigned = released(release(args, images, *options, "--test-skip-updates", "--build-dir", unsigned_build), False)
    build = os.path.join(directory, "release-build")
    result = release(args, images, *options, "--build-dir", build, "--sign-key", key, "--sign-cert", cert)
    print(result.stdout, end="")
    signed = released(result, True)

    problems = []
    if result.stdout.count(": passed;") != 4:
        problems.append("release.sh did not report four passed updates (two under Wine, two natively)")
    manifest = pathlib.Path(build, "windows", "IMAGES.txt").read_bytes()
    web = signed["zip"][2]["FwToUpload.bin"]
    web_line = f"web package: FwToUpload.bin {len(web)} {hashlib.sha256(web).hexdigest()}\n".encode()
    for what, files, signature in [
        ("signed ZIP", signed["zip"][2], f"authenticode CN=Tessaron release test (certificate SHA-256 {fingerprint})"),
        ("unsigned ZIP", unsigned["zip"][2], "none"),
        ("tar.gz", signed["tar.gz"][2], "none"),
    ]:
        if files["IMAGES.txt"] != manifest + f"signature: {signature}\n".encode() + web_line:
            problems.append(f"the {what}'s IMAGES.txt is {files['IMAGES.txt'].decode()!r}")

    # The signature verifies against the certificate, and is all that the
    # signed executable has more than the unsigned one built elsewhere.
    exe = os.path.join(directory, "signed.exe")
    pathlib.Path(exe).write_bytes(signed["zip"][2]["TessaronFwUpgrade.exe"])
    verified = run(["osslsigncode", "verify", "-CAfile", cert, "-in", exe])
    if verified.returncode != 0:
        problems.append(f"osslsigncode verify refused the signed executable:\n{verified.stdout}{verified.stderr}")
    run(["osslsigncode", "remove-signature", "-in", exe, "-out", exe + ".removed"])
    if pathlib.Path(exe + ".removed").read_bytes() != unsigned["zip"][2]["TessaronFwUpgrade.exe"]:
        problems.append("the signed executable without its signature is not the unsigned executable")

    # The Linux package: the same bytes from both folders, a program that asks
    # for no shared library and carries no path of the checkout.
    tool = signed["tar.gz"][2]["TessaronFwUpgrade"]
    if signed["tar.gz"][1] != unsigned["tar.gz"][1]:
        problems.append("the Linux packages of the two release folders differ")
    pathlib.Path(exe + ".linux").write_bytes(tool)
    dynamic = run(["readelf", "-d", exe + ".linux"]).stdout
    if "There is no dynamic section" not in dynamic:
        problems.append(f"the Linux tool is linked dynamically:\n{dynamic}")
    if os.path.realpath(args.source).encode() in tool:
        problems.append(f"the Linux tool holds the path {args.source}")

    flat = os.path.join(directory, "microcontroller.bin")
    run([args.hexconv, os.path.join(images, harness.IMAGE_FILES[harness.MICROCONTROLLER]), flat], check=True)
    log = pathlib.Path(build, "linux", "web", "WriteWebUploadPackage.log").read_text()
    announced = re.search(r"Firmware CheckSum = (\d+) !", log)
    problems += harness.web_package_problems(web, pathlib.Path(flat).read_bytes(), announced and int(announced.group(1)))
    if problems:
        raise harness.Failure("\n".join(problems))
    return f"ZIP SHA-256 {hashlib.sha256(signed['zip'][1]).hexdigest()}, signed; tar.gz the same from two folders"


CASES = [
    ("stand_in_copy", case_stand_in_copy, 1500),
    ("new_release_catalogue", case_new_release_catalogue, 600),
    ("refusals", case_refusals, 240),
]


def main():
    args = harness.command_line(__doc__, CASES, ("source", "build", "unitsim", "hexconv"))
    function = next(f for n, f, _ in CASES if n == args.case)
    return harness.run_reported("release", args.case, args.keep, lambda d: function(args, d))


if __name__ == "__main__":
    sys.exit(main())
