"""Running the real Windows programs under Wine for the end-to-end tests.

One Wine prefix serves a whole test script (its registry, its shell folders,
its temporary folder); the programs run through scripts/wine-run. Paths on the
Linux side are reached from Windows as drive Z:.
"""
import fcntl
import glob
import hashlib
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run")
# Debian's python3, which has numpy for the image tools.
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Kelpmire_Quorvane"


def win(path):
    """The Windows name of a Linux path, through drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def copy_prefix(template, prefix):
    """A fresh prefix at prefix, copied from template, which is made once by
    booting Wine in it (about 15 s; a copy takes about one). Wine links the
    user's shell folders to the prefix's home by full path: the copy's links
    point at its own home."""
    template, prefix = os.path.abspath(template), os.path.abspath(prefix)
    os.makedirs(os.path.dirname(template), exist_ok=True)
    # Not the ".lock" that scripts/wine-run takes while it boots the prefix.
    with open(template + ".copying", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(os.path.join(template, ".made")):
            shutil.rmtree(template, ignore_errors=True)
            subprocess.run([WINE_RUN, template, "cmd", "/c", "exit"], env=dict(os.environ, WINEDEBUG="-all"),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
            # Wine writes its registry files out when its server ends.
            subprocess.run(["wineserver", "-w"], env=dict(os.environ, WINEPREFIX=template), check=True)
        shutil.rmtree(prefix, ignore_errors=True)
        shutil.rmtree(prefix + ".home", ignore_errors=True)
        subprocess.run(["cp", "-a", "--reflink=auto", template, prefix], check=True)
    os.makedirs(prefix + ".home")
    for base, dirs, files in os.walk(prefix):
        for name in dirs + files:
            p = os.path.join(base, name)
            if not os.path.islink(p):
                continue
            to = os.readlink(p)
            if to == template + ".home" or to.startswith(template + ".home/"):
                os.remove(p)
                os.symlink(prefix + ".home" + to[len(template + ".home"):], p)


class Wine:
    def __init__(self, prefix, template=None):
        """The Wine prefix at prefix, made on first use; with template, a
        fresh copy of that prefix, which is made once and kept."""
        self.prefix = os.path.abspath(prefix)
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", HOME=self.prefix + ".home",
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
        if template:
            copy_prefix(template, self.prefix)
        self.run_exe("cmd", "/c", "exit")  # makes the prefix on first use

    def run_exe(self, exe, *args, timeout=300, check_rc=None, cwd=None, file_size_limit=None):
        """Runs a program to its end and returns (exit code, stdout, stderr).
        cwd: the Linux folder that Wine turns into its current folder.
        file_size_limit: no file written by the run grows past this many
        bytes; a write past it fails (EFBIG), so that a fault of the program
        cannot fill the disk."""
        def limit():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))

        # Files, not pipes: a Wine service started by this run inherits the
        # output handles and would keep a pipe open long after the program ends.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            p = subprocess.run([WINE_RUN, self.prefix, exe, *args], env=self.env, timeout=timeout,
                               stdout=out, stderr=err, cwd=cwd, preexec_fn=limit if file_size_limit else None)
            out.seek(0)
            err.seek(0)
            stdout = out.read().decode("utf-8", "replace")
            stderr = err.read().decode("utf-8", "replace")
        if check_rc is not None and p.returncode != check_rc:
            raise AssertionError(f"{exe} {args}: exit {p.returncode}\n{stderr}")
        return p.returncode, stdout, stderr

    def start_exe(self, exe, *args):
        """Starts a program and returns its process without waiting."""
        return subprocess.Popen([WINE_RUN, self.prefix, exe, *args], env=self.env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wait_idle(self, timeout=120):
        """Waits until every Windows process of the prefix has ended and its
        server has gone (a few seconds after the last one): the next program
        starts the prefix again, as a restart of Windows would."""
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=timeout)

    # The prefix's own services, which stay while its server runs.
    SERVICES = {"services.exe", "winedevice.exe", "plugplay.exe", "explorer.exe", "rpcss.exe", "svchost.exe",
                "conhost.exe", "winemenubuilder.exe"}

    def programs(self):
        """The processes of the prefix other than its server and services, as
        (pid, first argument); a program still starting up is among them."""
        mine = ("WINEPREFIX=" + self.prefix).encode()
        found = []
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open(f"/proc/{pid}/environ", "rb") as f:
                    if mine not in f.read().split(b"\0"):
                        continue
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    first = f.read().split(b"\0")[0].decode("utf-8", "replace")
            except OSError:
                continue  # ended meanwhile
            name = first.replace("\\", "/").rsplit("/", 1)[-1].lower()
            if name not in self.SERVICES and not name.startswith("wineserver"):
                found.append((int(pid), first))
        return found

    def wait_programs(self, timeout=120):
        """Waits until every program of the prefix has ended, without waiting
        for its server to go: for a program that one of ours started."""
        end = time.monotonic() + timeout
        while self.programs():
            if time.monotonic() > end:
                raise AssertionError(f"still running: {self.programs()}")
            time.sleep(0.1)

    def start_server(self):
        """Starts the prefix's Wine server to stay until stop_server, with the
        prefix's services, outside any limit a later run is given. A server
        that lingers after the last program would not take the setting, so it
        is waited out first."""
        self.wait_idle()
        subprocess.run(["wineserver", "-p"], env=self.env, check=True)
        self.run_exe("cmd", "/c", "exit", check_rc=0)

    def end_programs(self, timeout=60):
        """Kills every program of the prefix that is still running, such as a
        setup that a failed case left waiting in its box (holding the
        one-setup lock and its files), and waits until they have gone. No Wine
        call: one would wait for such a program. Returns what was ended."""
        left = self.programs()
        for pid, _ in left:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        end = time.monotonic() + timeout
        while self.programs():
            if time.monotonic() > end:
                raise AssertionError(f"still running after SIGKILL: {self.programs()}")
            time.sleep(0.1)
        return left

    def stop_server(self):
        """Ends the prefix's Wine server and every program still running in it."""
        subprocess.run(["wineserver", "-k"], env=self.env)
        self.wait_idle()

    def user_dir(self):
        users = [d for d in glob.glob(os.path.join(self.prefix, "drive_c", "users", "*"))
                 if os.path.basename(d) != "Public"]
        return users[0]

    def drive_c(self, *parts):
        return os.path.join(self.prefix, "drive_c", *parts)

    def temp_dir(self):
        return os.path.join(self.user_dir(), "AppData", "Local", "Temp") \
            if os.path.isdir(os.path.join(self.user_dir(), "AppData", "Local", "Temp")) \
            else os.path.join(self.user_dir(), "Temp")

    def log_path(self):
        return os.path.join(self.temp_dir(), "kelpmire_setup.log")

    def clear_log(self):
        """Removes the setup log before a run, so that a run that opens none
        cannot be judged by an earlier run's log."""
        if os.path.exists(self.log_path()):
            os.remove(self.log_path())

    def log_lines(self):
        path = self.log_path()
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read().decode("utf-8").replace("\r\n", "\n").splitlines()

    def shortcut_files(self):
        """The Start-menu and desktop shortcut files of the prefix's user."""
        u = self.user_dir()
        return (os.path.join(u, "AppData", "Roaming", "Microsoft", "Windows", "Start Menu", "Programs",
                             "The Kelpmire.lnk"),
                os.path.join(u, "Desktop", "The Kelpmire.lnk"))

    def reg_query(self, key=UNINSTALL_KEY):
        """The values of a key as {name: (type, data)}, or None when it is missing."""
        rc, out, _ = self.run_exe("reg", "query", key)
        if rc != 0:
            return None
        values = {}
        for line in out.splitlines():
            m = re.match(r"^\s{4}(\S+)\s{4}(REG_\w+)\s{4}(.*)$", line.rstrip("\r"))
            if m:
                values[m.group(1)] = (m.group(2), m.group(3))
        return values

    def reg_delete(self, key=UNINSTALL_KEY):
        self.run_exe("reg", "delete", key, "/f")

    def set_cdrom(self, letter, folder):
        """Makes drive letter a CD-ROM drive holding the given Linux folder."""
        link = os.path.join(self.prefix, "dosdevices", letter.lower() + ":")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(os.path.abspath(folder), link)
        self.run_exe("reg", "add", r"HKLM\Software\Wine\Drives", "/v", letter.lower() + ":", "/t", "REG_SZ",
                     "/d", "cdrom", "/f", check_rc=0)
        # Wine's mount manager reads its drives when the prefix starts.
        self.wait_idle()

    def map_drive(self, letter, folder):
        """Makes drive letter a plain drive whose root is the given Linux folder."""
        self.remove_drive(letter)
        os.symlink(os.path.abspath(folder), os.path.join(self.prefix, "dosdevices", letter.lower() + ":"))

    def hold_file(self, lockfile_exe, path):
        """Starts lockfile_exe holding the Linux file path open without sharing,
        as a running program holds its files, and returns its process once the
        file is held. release_file ends it."""
        return self.start_ready("locked", lockfile_exe, win(path), "3600")

    def release_file(self, holder):
        """Ends a hold_file process; its handle is closed once the prefix is idle."""
        end_process(holder)
        self.wait_idle()

    def start_scanner(self, scanner_exe, windows_dir, hold, *names):
        """Starts scanner_exe, the stand-in virus scanner, on a folder of the
        prefix (which need not exist yet): it holds each new version of the
        named files (its defaults when none are given) for hold milliseconds,
        or "forever". Returns its process once it watches; end_process ends
        it, and with it its holds."""
        return self.start_ready("watching", scanner_exe, windows_dir, str(hold), *names)

    def start_ready(self, ready, exe, *args):
        """Starts a program that prints the line ready once it is ready and
        returns its process then, with its output piped; end_process ends it."""
        p = subprocess.Popen([WINE_RUN, self.prefix, exe, *args], env=self.env, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL)
        first = p.stdout.readline().decode("utf-8", "replace").strip()
        if first != ready:
            end_process(p)
            raise AssertionError(f"{os.path.basename(exe)}: {first!r}")
        return p

    def remove_drive(self, letter):
        link = os.path.join(self.prefix, "dosdevices", letter.lower() + ":")
        if not os.path.lexists(link):
            return  # none was made (set_cdrom and map_drive make the link first)
        os.remove(link)
        self.run_exe("reg", "delete", r"HKLM\Software\Wine\Drives", "/v", letter.lower() + ":", "/f")
        self.wait_idle()


def end_process(p):
    """Kills a program that start_ready started and waits for it."""
    p.kill()
    p.wait(timeout=60)
    p.stdout.close()


def lnkinfo(path):
    """The fields lnkinfo reads from a shortcut file, as {field: value}."""
    out = subprocess.run(["lnkinfo", path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         check=True).stdout.decode("utf-8", "replace")
    fields = {}
    for line in out.splitlines():
        m = re.match(r"^\s+([A-Za-z][A-Za-z ]+?)\s*:\s(.*)$", line)
        if m:
            fields.setdefault(m.group(1), m.group(2).strip())
    return fields


def tree_files(root):
    """{relative path: bytes} of every file below root."""
    out = {}
    for base, _, files in os.walk(root):
        for f in files:
            p = os.path.join(base, f)
            with open(p, "rb") as fh:
                out[os.path.relpath(p, root)] = fh.read()
    return out


def tree_digest(root):
    """{relative path: (size, sha256)} of every file below root, and the folders."""
    out = {}
    for base, dirs, files in os.walk(root):
        for d in dirs:
            out[os.path.relpath(os.path.join(base, d), root) + "/"] = None
        for f in files:
            p = os.path.join(base, f)
            h = hashlib.sha256()
            with open(p, "rb") as fh:
                for block in iter(lambda: fh.read(1 << 20), b""):
                    h.update(block)
            out[os.path.relpath(p, root)] = (os.path.getsize(p), h.hexdigest())
    return out


def mounts_below(path):
    """The mount points at path or below it, the deepest first."""
    path = os.path.abspath(path)
    found = []
    with open("/proc/self/mounts") as f:
        for line in f:
            # Spaces and the like in a mount point are written as octal escapes.
            point = re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), line.split()[1])
            if point == path or point.startswith(path.rstrip("/") + "/"):
                found.append(point)
    return sorted(found, key=len, reverse=True)


def unmount(point):
    """Unmounts point; one that is still busy is detached (the kernel lets go
    of it once its last user has), so that no mount outlives its test. Raises
    when it stays mounted."""
    for cmd in (["umount", point], ["umount", "-l", point]):
        if not os.path.ismount(point):
            return
        subprocess.run(cmd, stderr=subprocess.DEVNULL)
    if os.path.ismount(point):
        raise AssertionError(f"{point} stays mounted")


def fresh_dir(path):
    """An empty folder at path. What an earlier run that was cut off left
    mounted below it is unmounted first: removing the folder would otherwise
    stop at the mount point."""
    for point in mounts_below(path):
        unmount(point)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def make_sample_disc(tree, images=None):
    """The small sample disc's tree in tree and, when images is given, its ISO,
    BIN and CUE images there (game.iso, game.cue, game_m2.cue, ...)."""
    subprocess.run([PYTHON, os.path.join(ROOT, "tools", "make_sample_disc.py"), tree], check=True,
                   stdout=subprocess.DEVNULL)
    if images:
        subprocess.run(["bash", os.path.join(ROOT, "tools", "make_disc_images.sh"), tree, images, "game"],
                       check=True, env=dict(os.environ, PYTHON=PYTHON), stdout=subprocess.DEVNULL)
