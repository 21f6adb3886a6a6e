#!/usr/bin/env python3
"""The release build (scripts/release), checked from the outside.

usage: release_check.py SOURCE_DIR BUILD_DIR

Copies the checkout twice, into folders of different names and depths, and
runs scripts/release in each, one after the other: the two setups must be the
same bytes. Then, with the binutils of mingw-w64 and wrestool: no debug
section, no link time, a right PE checksum, and the version resource's fields.
A throwaway certificate from openssl signs a release; `osslsigncode verify`
accepts it against that certificate and refuses it against another; the signed
setup installs silently under Wine and leaves itself, byte for byte, as
uninstall.exe, with the uninstall entry's values as they always were. The
signature's time stamp comes from a server of the test's own on the loopback.
"""
import http.server
import os
import re
import shutil
import struct
import subprocess
import sys
import threading

SRC, BUILD = (os.path.abspath(a) for a in sys.argv[1:3])
sys.path.insert(0, os.path.join(SRC, "tests", "e2e"))
from kelpwine import Wine, fresh_dir, make_sample_disc, win  # noqa: E402

WORK = os.path.join(BUILD, "release_check")
OBJDUMP = "x86_64-w64-mingw32-objdump"
WINDRES = "x86_64-w64-mingw32-windres"
STANDIN_WARNING = "warning: built with the stand-in game: this is not a release for players"
UNSIGNED = "the result is unsigned"
failures = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what, flush=True)
    if not cond:
        failures.append(what)
    return cond


def run(*args, cwd=None):
    p = subprocess.run(list(args), cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def copy_checkout(dest, keep_times):
    """The checkout's files as a fresh clone would have them, with the working
    tree's changes, and nothing built: what `git ls-files` lists (untracked
    files too, less the ignored ones), or the tree less build/ and dist/."""
    fresh_dir(dest)
    copy = shutil.copy2 if keep_times else shutil.copy
    rc, out, _ = run("git", "-C", SRC, "ls-files", "-z", "--cached", "--others", "--exclude-standard")
    if rc == 0:
        for rel in filter(None, out.split("\0")):
            s = os.path.join(SRC, rel)
            if os.path.isfile(s):
                os.makedirs(os.path.dirname(os.path.join(dest, rel)), exist_ok=True)
                copy(s, os.path.join(dest, rel))
    else:
        shutil.copytree(SRC, dest, dirs_exist_ok=True, copy_function=copy,
                        ignore=lambda d, names: [n for n in names if d == SRC and n in ("build", "dist", ".git")])
    return dest


def release(checkout, *args, cwd=None):
    rc, out, err = run("bash", os.path.join(checkout, "scripts", "release"), *args, cwd=cwd)
    if rc != 0:
        print(out + err)
    return rc, out.splitlines(), err.splitlines()


def project_version():
    with open(os.path.join(SRC, "CMakeLists.txt")) as f:
        return re.search(r"^project\(kelpmire_setup VERSION (\d+)\.(\d+)\.(\d+)", f.read(), re.M).groups()


def pe_checksum(data):
    """(the header's CheckSum, the one Windows computes: 16-bit words with
    end-around carry, an odd last byte padded, the field itself as zero, plus
    the file's length)."""
    field = struct.unpack_from("<I", data, 0x3C)[0] + 4 + 20 + 64
    body = bytearray(data)
    body[field:field + 4] = bytes(4)
    if len(body) % 2:
        body.append(0)
    total = sum(struct.unpack("<%dH" % (len(body) // 2), body))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return struct.unpack_from("<I", data, field)[0], (total + len(data)) & 0xFFFFFFFF


def section_names(exe):
    _, out, _ = run(OBJDUMP, "-h", exe)
    return re.findall(r"^\s+\d+\s+(\S+)", out, re.M)


def version_resource(exe):
    """The version resource as windres decompiles it: ({key: value}, [FILEVERSION
    numbers], [PRODUCTVERSION numbers], the Translation line)."""
    _, out, _ = run(WINDRES, "-i", exe, "-O", "rc")
    block = out[out.find("VERSIONINFO"):]
    values = dict(re.findall(r'VALUE "(\w+)", "([^"]*)"', block))
    fv = re.search(r"FILEVERSION ([\d, ]+)", block)
    pv = re.search(r"PRODUCTVERSION ([\d, ]+)", block)
    tr = re.search(r'VALUE "Translation", (.*)', block)
    return (values, fv and fv.group(1).replace(" ", "").split(","),
            pv and pv.group(1).replace(" ", "").split(","), tr and tr.group(1).strip())


def make_certificate(name):
    """A throwaway self-signed code-signing certificate: (PFX, password file, PEM)."""
    d = fresh_dir(os.path.join(WORK, "cert_" + name))
    key, pem, pfx, pw = (os.path.join(d, n) for n in ("key.pem", "cert.pem", "cert.pfx", "pass.txt"))
    with open(pw, "w") as f:
        f.write(f"throwaway {name} password\n")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", pem,
                    "-days", "2", "-subj", f"/CN=Kelpmire {name} test signer",
                    "-addext", "extendedKeyUsage=codeSigning", "-addext", "keyUsage=digitalSignature"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", pem, "-out", pfx,
                    "-passout", "file:" + pw], check=True)
    return pfx, pw, pem


TSA_CONFIG = """[ tsa ]
default_tsa = tsa1
[ tsa1 ]
serial = {dir}/serial
crypto_device = builtin
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
accuracy = secs:1
ordering = no
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


def start_time_stamp_server():
    """An RFC 3161 time-stamp server on the loopback, answering with openssl ts
    under a throwaway certificate of its own: (URL, its certificate, server)."""
    d = fresh_dir(os.path.join(WORK, "tsa"))
    key, pem, cnf = (os.path.join(d, n) for n in ("key.pem", "cert.pem", "ts.cnf"))
    with open(cnf, "w") as f:
        f.write(TSA_CONFIG.format(dir=d))
    with open(os.path.join(d, "serial"), "w") as f:
        f.write("01\n")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", pem,
                    "-days", "2", "-subj", "/CN=Kelpmire test time stamps",
                    "-addext", "extendedKeyUsage=critical,timeStamping"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    class Answer(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query, reply = os.path.join(d, "query.tsq"), os.path.join(d, "reply.tsr")
            if os.path.exists(reply):
                os.remove(reply)
            with open(query, "wb") as f:
                f.write(self.rfile.read(int(self.headers.get("Content-Length", 0))))
            subprocess.run(["openssl", "ts", "-reply", "-config", cnf, "-queryfile", query, "-inkey", key,
                            "-signer", pem, "-out", reply], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            body = read(reply) if os.path.exists(reply) else b""
            self.send_response(200 if body else 500)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Answer)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return f"http://127.0.0.1:{server.server_address[1]}/", pem, server


def main():
    fresh_dir(WORK)
    one = copy_checkout(os.path.join(WORK, "a", "kelp"), keep_times=True)
    two = copy_checkout(os.path.join(WORK, "second_copy", "of", "the_checkout"), keep_times=False)
    pfx, pw, pem = make_certificate("release")
    _, _, other_pem = make_certificate("other")

    # Refused before anything is built or written.
    for args, message in [
        (["--sign", pfx], "--sign needs --pass-file"),
        (["--pass-file", pw], "--pass-file and --timestamp go with --sign"),
        (["--timestamp", "http://ts.invalid"], "--pass-file and --timestamp go with --sign"),
        (["--sign", pfx, "--pass-file", os.path.join(WORK, "no_such_file")], "no such file"),
        (["--game-exe"], "usage"),
        (["--password", "x"], "unknown argument: --password"),
    ]:
        rc, out, err = release(two, *args)
        check(rc != 0 and message in "\n".join(err), f"release {' '.join(args)}: refused with '{message}'")
    check(not os.path.exists(os.path.join(two, "dist")) and not os.path.exists(os.path.join(two, "build")),
          "a refused release builds and writes nothing")

    # Two builds of one tree, in two folders, at two times.
    results = {}
    for name, checkout in (("one", one), ("two", two)):
        rc, out, err = release(checkout)
        check(rc == 0, f"release in copy {name}: exit 0")
        check(out[-1:] == [UNSIGNED], f"copy {name}: ends with '{UNSIGNED}'")
        check(STANDIN_WARNING in err, f"copy {name}: warns of the stand-in game")
        results[name] = read(os.path.join(checkout, "dist", "kelpmire_setup.exe"))
    a, b = results["one"], results["two"]
    differs = next((i for i in range(min(len(a), len(b))) if a[i] != b[i]), None)
    check(a == b, f"two copies give the same {len(a)} bytes"
          + ("" if a == b else f" (sizes {len(a)} and {len(b)}, first difference at {differs})"))
    for name, checkout in (("one", one), ("two", two)):
        dist = os.path.join(checkout, "dist")
        rc, out, _ = run("sha256sum", "-c", "SHA256SUMS", cwd=dist)
        check(rc == 0 and out.strip() == "kelpmire_setup.exe: OK", f"copy {name}: sha256sum -c SHA256SUMS")

    exe = os.path.join(one, "dist", "kelpmire_setup.exe")
    names = section_names(exe)
    check(".rsrc" in names and not [n for n in names if n.startswith(".debug")],
          f"no debug section in the release: {' '.join(names)}")
    check([n for n in section_names(os.path.join(BUILD, "kelpmire_setup.exe")) if n.startswith(".debug")] != [],
          "the test build keeps its debug sections")
    _, header, _ = run(OBJDUMP, "-p", exe)
    stamp = re.search(r"^Time/Date\s+(.*)$", header, re.M)
    check(stamp is not None and "1970" in stamp.group(1), f"no link time: {stamp and stamp.group(1)}")
    field, computed = pe_checksum(a)
    check(field != 0 and field == computed, f"PE checksum {field:08x}, computed {computed:08x}")

    # The stand-in game inside is built the same way: stripped, no link time.
    game = os.path.join(WORK, "payload.exe")
    subprocess.run(["wrestool", "-x", "--raw", "--type=10", "--name=GAMEEXE", "-o", game, exe], check=True)
    names = section_names(game)
    _, header, _ = run(OBJDUMP, "-p", game)
    check(".text" in names and not [n for n in names if n.startswith(".debug")]
          and re.search(r"^Time/Date\s+.*1970", header, re.M), "the stand-in game: stripped, no link time")

    # The real game, named relative to the caller's folder: carried as it is,
    # and no warning.
    real = os.path.join(BUILD, "noicon.exe")
    rc, out, err = release(two, "--game-exe", os.path.relpath(real, WORK), cwd=WORK)
    subprocess.run(["wrestool", "-x", "--raw", "--type=10", "--name=GAMEEXE", "-o", game,
                    os.path.join(two, "dist", "kelpmire_setup.exe")], check=True)
    check(rc == 0 and STANDIN_WARNING not in err and read(game) == read(real),
          "--game-exe: that executable is the payload, without the stand-in warning")

    # The version resource, through wrestool and windres.
    _, listing, _ = run("wrestool", "-l", exe)
    check("--type=16 --name=1 --language=1033" in listing, "wrestool: version resource 1, US English")
    version = project_version()
    values, fileversion, productversion, translation = version_resource(exe)
    dotted = ".".join(version)
    for key, want in [("ProductName", "The Kelpmire"), ("FileDescription", "The Kelpmire setup"),
                      ("CompanyName", "Quorvane port (fan project)"), ("OriginalFilename", "kelpmire_setup.exe"),
                      ("FileVersion", dotted), ("ProductVersion", dotted)]:
        check(values.get(key) == want, f"version resource {key} = '{values.get(key)}'")
    check(fileversion == [*version, "0"] and productversion == [*version, "0"],
          f"FILEVERSION {fileversion}, PRODUCTVERSION {productversion}")
    check(translation == "0x409, 1200", f"translation: US English, Unicode ({translation})")

    # Signed with a throwaway certificate: a second run in copy one builds
    # nothing new and signs.
    wrong = os.path.join(WORK, "wrong_pass.txt")
    with open(wrong, "w") as f:
        f.write("not the password\n")
    rc, out, err = release(one, "--sign", pfx, "--pass-file", wrong)
    dist = os.listdir(os.path.join(one, "dist"))
    check(rc != 0 and "release: signing failed" in err and dist == [],
          f"a wrong password: 'signing failed', and nothing left in dist ({dist})")
    tsa_url, tsa_pem, tsa = start_time_stamp_server()
    rc, out, err = release(one, "--sign", pfx, "--pass-file", pw, "--timestamp", tsa_url)
    tsa.shutdown()
    check(rc == 0 and UNSIGNED not in out, "signed release: exit 0, not called unsigned")
    signed = read(exe)
    check(signed != a and len(signed) > len(a), f"the signed setup ({len(signed)} bytes) carries a signature")
    rc, out, _ = run("sha256sum", "-c", "SHA256SUMS", cwd=os.path.dirname(exe))
    check(rc == 0, "SHA256SUMS names the signed setup")
    rc, out, err = run("osslsigncode", "verify", "-in", exe, "-CAfile", pem, "-TSA-CAfile", tsa_pem)
    check(rc == 0 and "Signature verification: ok" in out and "sha256" in out.lower(),
          "osslsigncode verify: a SHA-256 signature by the throwaway certificate")
    check("Timestamp Server Signature verification: ok" in out, "the signature carries the server's time stamp")
    if rc:
        print(out + err)
    # Refused for the signer, not for a file it cannot read: the image's digest
    # still matches, and the verdict is osslsigncode's own.
    rc, out, _ = run("osslsigncode", "verify", "-in", exe, "-CAfile", other_pem)
    digests = re.findall(r"^(?:Current|Calculated) message digest\s*:\s*(\S+)", out, re.M)
    check(rc != 0 and "Signature verification: failed" in out and "Signature verification: ok" not in out
          and len(digests) == 2 and digests[0] == digests[1],
          "osslsigncode verify against another certificate: the signature fails, the digest matches")
    field, computed = pe_checksum(signed)
    check(field == computed, f"signed: PE checksum {field:08x}, computed {computed:08x}")

    # The signed setup installs, and leaves itself as the uninstaller.
    disc = os.path.join(WORK, "disc")
    make_sample_disc(disc)
    wine = Wine(os.path.join(WORK, "prefix"))
    win_dir = "C:\\Games\\Kelpmire signed"
    rc, _, _ = wine.run_exe(exe, "/silent", "/cd", win(disc), "/dir", win_dir)
    check(rc == 0, f"silent install from the signed setup: exit {rc}")
    installed = wine.drive_c("Games", "Kelpmire signed")
    uninstaller = os.path.join(installed, "uninstall.exe")
    check(os.path.exists(uninstaller) and read(uninstaller) == signed, "uninstall.exe is the signed setup")
    _, listing, _ = run("wrestool", "-l", os.path.join(installed, "kelpmire.exe"))
    check("--type=14 --name=1" in listing, "the game was written and given the disc's icon")
    check((wine.log_lines() or [])[-1:] == ["Done."], "the log ends with 'Done.'")
    size = sum(os.path.getsize(os.path.join(r, f)) for r, _, fs in os.walk(disc) for f in fs)
    entry = wine.reg_query()
    check(entry == {
        "DisplayName": ("REG_SZ", "The Kelpmire (Quorvane)"),
        "UninstallString": ("REG_SZ", f'"{win_dir}\\uninstall.exe" /uninstall'),
        "DisplayIcon": ("REG_SZ", f"{win_dir}\\kelpmire.exe,0"),
        "InstallLocation": ("REG_SZ", win_dir),
        "Publisher": ("REG_SZ", "Quorvane port (fan project)"),
        "EstimatedSize": ("REG_DWORD", hex((size + 0x1400000) >> 10)),
        "NoModify": ("REG_DWORD", "0x1"),
        "NoRepair": ("REG_DWORD", "0x1"),
    }, f"the uninstall entry, exactly: {entry}")
    wine.wait_idle()
    subprocess.run(["wineserver", "-k"], env=wine.env)

    print(f"{len(failures)} failed" if failures else "all release checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
