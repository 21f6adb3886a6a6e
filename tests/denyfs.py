#!/usr/bin/python3
"""denyfs.py: a writable FUSE pass-through over a folder that refuses chosen
changes with EACCES, as a folder the user has no rights in does (Wine turns
EACCES into ERROR_ACCESS_DENIED; running as root, Wine never sees a real one).

usage (as a program): denyfs.py SOURCE MOUNTPOINT [PLAN]
    Mounts SOURCE at MOUNTPOINT and serves it in the foreground until unmounted.

The plan is a small text file, read again whenever it changes, so that a test
can refuse or allow while the file system runs. One refusal a line:

    mkdir PATH      making a folder anywhere below the folder PATH is refused
    create PATH     making a file, opening one for writing, renaming, removing
                    or changing one anywhere below the folder PATH is refused

PATH is below the root, with slashes ("Mine/The Kelpmire PC"; "." is the root).
Blank lines and lines starting with '#' are ignored.

Mount it with faultfs.mounted(source, mountpoint, plan, program=denyfs.PROGRAM).
"""
import errno
import os
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from faultfs import PlanFile  # noqa: E402

PROGRAM = os.path.abspath(__file__)


def parse_plan(text):
    """{(op, folder)} of a plan's text."""
    denied = set()
    for n, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        op, _, path = line.partition(" ")
        path = path.strip().strip("/")
        if op not in ("mkdir", "create") or not path:
            raise ValueError(f"deny plan line {n}: {line!r}")
        denied.add((op, "" if path == "." else path))
    return denied


def serve(source, mountpoint, plan=None):
    import fusepy

    class DenyFs(fusepy.Operations):
        def __init__(self):
            self.root = os.path.realpath(source)
            self.mutex = threading.Lock()
            self.plan = PlanFile(plan, parse_plan)
            self.denied = set()

        def real(self, path):
            return os.path.join(self.root, path.lstrip("/"))

        def check(self, op, path):
            """Raises EACCES when the plan refuses op on path (a path below
            a planned folder, not the folder itself)."""
            with self.mutex:
                fresh = self.plan.changed()
                if fresh is not None:
                    self.denied = fresh
                parent = os.path.dirname(path.strip("/"))
                for o, folder in self.denied:
                    if o == op and (folder == "" or parent == folder or parent.startswith(folder + "/")):
                        raise fusepy.FuseOSError(errno.EACCES)

        def getattr(self, path, fh=None):
            st = os.lstat(self.real(path))
            keys = ("st_mode", "st_nlink", "st_size", "st_uid", "st_gid", "st_atime", "st_mtime", "st_ctime")
            return {k: getattr(st, k) for k in keys}

        def access(self, path, mode):
            if not os.access(self.real(path), mode):
                raise fusepy.FuseOSError(errno.EACCES)

        def readdir(self, path, fh):
            return [".", ".."] + sorted(os.listdir(self.real(path)))

        def mkdir(self, path, mode):
            self.check("mkdir", path)
            os.mkdir(self.real(path), mode)

        def rmdir(self, path):
            self.check("mkdir", path)
            os.rmdir(self.real(path))

        def create(self, path, mode, fi=None):
            self.check("create", path)
            return os.open(self.real(path), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, mode)

        def open(self, path, flags):
            if flags & (os.O_WRONLY | os.O_RDWR | os.O_TRUNC | os.O_APPEND):
                self.check("create", path)
            return os.open(self.real(path), flags & ~(os.O_CREAT | os.O_EXCL))

        def read(self, path, size, offset, fh):
            return os.pread(fh, size, offset)

        def write(self, path, data, offset, fh):
            return os.pwrite(fh, data, offset)

        def truncate(self, path, length, fh=None):
            self.check("create", path)
            if fh is not None:
                os.ftruncate(fh, length)
            else:
                os.truncate(self.real(path), length)

        def flush(self, path, fh):
            return 0

        def fsync(self, path, datasync, fh):
            os.fsync(fh)
            return 0

        def release(self, path, fh):
            os.close(fh)
            return 0

        def unlink(self, path):
            self.check("create", path)
            os.unlink(self.real(path))

        def rename(self, old, new):
            self.check("create", old)
            self.check("create", new)
            os.rename(self.real(old), self.real(new))

        def chmod(self, path, mode):
            os.chmod(self.real(path), mode)

        def chown(self, path, uid, gid):
            os.lchown(self.real(path), uid, gid)

        def utimens(self, path, times=None):
            os.utime(self.real(path), times)

        # Wine keeps DOS attributes in user.DOSATTRIB; the backing folder's
        # own file system holds them.
        def getxattr(self, path, name, position=0):
            try:
                return os.getxattr(self.real(path), name)
            except OSError as e:
                raise fusepy.FuseOSError(e.errno)

        def setxattr(self, path, name, value, options, position=0):
            try:
                os.setxattr(self.real(path), name, value, options)
            except OSError as e:
                raise fusepy.FuseOSError(e.errno)

        def listxattr(self, path):
            return os.listxattr(self.real(path))

        def removexattr(self, path, name):
            try:
                os.removexattr(self.real(path), name)
            except OSError as e:
                raise fusepy.FuseOSError(e.errno)

        def statfs(self, path):
            st = os.statvfs(self.real(path))
            keys = ("f_bsize", "f_frsize", "f_blocks", "f_bfree", "f_bavail", "f_files", "f_ffree", "f_favail",
                    "f_namemax")
            return {k: getattr(st, k) for k in keys}

    fusepy.FUSE(DenyFs(), mountpoint, foreground=True, nothreads=False)


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4):
        sys.exit("usage: denyfs.py SOURCE MOUNTPOINT [PLAN]")
    serve(sys.argv[1], sys.argv[2], sys.argv[3] if len(sys.argv) == 4 else None)
