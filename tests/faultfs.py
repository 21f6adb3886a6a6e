#!/usr/bin/python3
"""faultfs.py: a read-only FUSE file system that serves a folder as a game disc
would, and fails chosen reads and listings with EIO, as a scratched disc does.

usage (as a program): faultfs.py SOURCE MOUNTPOINT [PLAN]
    Mounts SOURCE read-only at MOUNTPOINT and serves it in the foreground until
    unmounted (fusermount3 -u MOUNTPOINT) or stopped. Every read goes to the
    file system (direct_io): nothing is answered from the page cache.

The fault plan is a small text file, read again whenever it changes, so that a
test can add or clear a fault while the file system runs. One fault a line:

    read PATH COUNT     reads of the file PATH fail
    open PATH COUNT     opening the file PATH fails
    list PATH COUNT     opening the folder PATH for a listing fails
                        (a listing that fails later reaches a Windows program
                        under Wine as an empty folder; one that fails when it is
                        opened arrives as an error)
    slow PATH MS        every read of the file PATH first takes MS milliseconds
                        (a drive struggling with a bad sector), whether it
                        then fails or not

PATH is below the root, with slashes and as spelt on the disc ("MAPS/MAP27.DAT";
"." is the root). COUNT is how many calls fail, after which they work again,
or -1 for every call. Blank lines and lines starting with '#' are ignored. A
plan rewritten starts its counts afresh.

As a module: mounted(source, mountpoint, plan) is a context manager that mounts,
waits until the mount is there, and always unmounts again; it raises
MountRefused with one clear line when /dev/fuse is missing or the mount is
refused. Needs Debian's python3-fusepy (and fuse3 for fusermount3).
"""
import contextlib
import errno
import os
import subprocess
import sys
import threading
import time


class MountRefused(Exception):
    pass


def parse_plan(text):
    """{(op, path): count} of a plan's text."""
    faults = {}
    for n, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        f = line.split()
        if len(f) != 3 or f[0] not in ("read", "open", "list", "slow"):
            raise ValueError(f"fault plan line {n}: {line!r}")
        path = f[1].strip("/")
        faults[(f[0], path if path not in ("", ".") else ".")] = int(f[2])
    return faults


class PlanFile:
    """A plan file that a test rewrites while the file system runs."""

    def __init__(self, path, parse):
        self.path, self.parse, self.stamp = path, parse, None

    def changed(self):
        """parse(its text) when the file changed since the last call (a plan
        removed reads as empty), else None."""
        if not self.path:
            return None
        try:
            st = os.stat(self.path)
            stamp = (st.st_mtime_ns, st.st_size, st.st_ino)
        except FileNotFoundError:
            stamp = None
        if stamp == self.stamp:
            return None
        self.stamp = stamp
        if not stamp:
            return self.parse("")
        with open(self.path) as f:
            return self.parse(f.read())


def serve(source, mountpoint, plan=None):
    """Mounts and serves in the foreground until unmounted."""
    import fusepy

    class FaultFs(fusepy.Operations):
        def __init__(self):
            self.root = os.path.realpath(source)
            self.mutex = threading.Lock()
            self.plan = PlanFile(plan, parse_plan)
            self.faults = {}

        def real(self, path):
            return os.path.join(self.root, path.lstrip("/"))

        def hit(self, op, path):
            """Raises EIO when the plan says this call fails."""
            with self.mutex:
                fresh = self.plan.changed()
                if fresh is not None:
                    self.faults = fresh
                key = (op, path.strip("/") or ".")
                left = self.faults.get(key, 0)
                if left == 0:
                    return
                if left > 0:
                    self.faults[key] = left - 1
            raise fusepy.FuseOSError(errno.EIO)

        def getattr(self, path, fh=None):
            st = os.lstat(self.real(path))
            keys = ("st_mode", "st_nlink", "st_size", "st_uid", "st_gid", "st_atime", "st_mtime", "st_ctime")
            out = {k: getattr(st, k) for k in keys}
            out["st_mode"] &= ~0o222  # a disc: nothing is writable
            return out

        def access(self, path, mode):
            if mode & os.W_OK:
                raise fusepy.FuseOSError(errno.EROFS)
            if not os.path.lexists(self.real(path)):
                raise fusepy.FuseOSError(errno.ENOENT)

        def opendir(self, path):
            self.hit("list", path)
            if not os.path.isdir(self.real(path)):
                raise fusepy.FuseOSError(errno.ENOTDIR)
            return 0

        def readdir(self, path, fh):
            return [".", ".."] + sorted(os.listdir(self.real(path)))

        def open(self, path, flags):
            if flags & (os.O_WRONLY | os.O_RDWR | os.O_TRUNC | os.O_APPEND):
                raise fusepy.FuseOSError(errno.EROFS)
            self.hit("open", path)
            return os.open(self.real(path), os.O_RDONLY)

        def read(self, path, size, offset, fh):
            with self.mutex:
                ms = self.faults.get(("slow", path.strip("/") or "."), 0)
            if ms > 0:
                time.sleep(ms / 1000)
            self.hit("read", path)
            return os.pread(fh, size, offset)

        def release(self, path, fh):
            os.close(fh)
            return 0

        def statfs(self, path):
            st = os.statvfs(self.real(path))
            keys = ("f_bsize", "f_frsize", "f_blocks", "f_files", "f_namemax")
            out = {k: getattr(st, k) for k in keys}
            out.update(f_bfree=0, f_bavail=0, f_ffree=0, f_favail=0)
            return out

    fusepy.FUSE(FaultFs(), mountpoint, foreground=True, ro=True, direct_io=True, nothreads=False)


def _unmount(mountpoint):
    for cmd in (["fusermount3", "-u", mountpoint], ["fusermount", "-u", mountpoint], ["umount", "-l", mountpoint]):
        if not os.path.ismount(mountpoint):
            return
        try:
            subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        except (FileNotFoundError, subprocess.TimeoutExpired):
            pass


@contextlib.contextmanager
def mounted(source, mountpoint, plan=None, timeout=30, program=None):
    """Serves source at mountpoint for the with block, unmounting afterwards
    whatever happens. program: another file system script taking the same
    arguments (SOURCE MOUNTPOINT [PLAN]); this one by default."""
    if not os.path.exists("/dev/fuse"):
        raise MountRefused("faultfs: /dev/fuse is missing: FUSE is not available on this machine")
    os.makedirs(mountpoint, exist_ok=True)
    _unmount(mountpoint)  # what an earlier run that was killed left behind
    err = open(mountpoint.rstrip("/") + ".log", "wb")
    args = ["/usr/bin/python3", os.path.abspath(program or __file__), source, mountpoint] + ([plan] if plan else [])
    proc = subprocess.Popen(args, stdout=err, stderr=subprocess.STDOUT)
    try:
        deadline = time.time() + timeout
        while not os.path.ismount(mountpoint):
            if proc.poll() is not None or time.time() > deadline:
                with open(err.name, "rb") as f:
                    why = f.read().decode("utf-8", "replace").strip().splitlines()
                raise MountRefused(f"faultfs: the mount at {mountpoint} was refused: "
                                   f"{why[-1] if why else 'exit %s' % proc.poll()}")
            time.sleep(0.05)
        yield mountpoint
    finally:
        _unmount(mountpoint)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        err.close()


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4):
        sys.exit("usage: faultfs.py SOURCE MOUNTPOINT [PLAN]")
    serve(sys.argv[1], sys.argv[2], sys.argv[3] if len(sys.argv) == 4 else None)
