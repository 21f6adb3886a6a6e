#!/usr/bin/env python3
"""slowfs.py - a folder shown at a mount point as a slow device, for benchmarks.

usage: slowfs.py ROOT MOUNT [--read-mbps R] [--write-mbps W] [--read-only]

Serves ROOT at MOUNT (FUSE, in the foreground until unmounted) and makes every
read and every write of file data take the time that a device of R or W
megabytes (10^6 bytes) per second would need for it: one device, so requests
that arrive together queue behind one another, as on a drive. A rate of 0 means
no delay. Reads and writes bypass the kernel's page cache (direct_io), so a
second run reads the device again, as it would read a disc. Everything but file
data (listings, attributes, creating and removing) is as fast as ROOT.

Needs python3-fusepy (libfuse2) and /dev/fuse; run as root or with fusermount.
Unmount with: fusermount3 -u MOUNT (or umount MOUNT).
"""
import argparse
import errno
import os
import threading
import time

import fusepy
from fusepy import FUSE, FuseOSError, Operations


class Device:
    """The time a device is busy: each request starts when the one before it ends."""

    def __init__(self, mbps):
        self.rate = mbps * 1e6
        self.free_at = 0.0
        self.lock = threading.Lock()

    def spend(self, nbytes):
        if self.rate <= 0:
            return
        with self.lock:
            start = max(time.monotonic(), self.free_at)
            self.free_at = start + nbytes / self.rate
            until = self.free_at
        delay = until - time.monotonic()
        if delay > 0:
            time.sleep(delay)


class SlowFS(Operations):
    def __init__(self, root, read_mbps, write_mbps, read_only):
        self.root = os.path.realpath(root)
        self.reads = Device(read_mbps)
        self.writes = Device(write_mbps)
        self.read_only = read_only

    def _path(self, path):
        return os.path.join(self.root, path.lstrip('/'))

    def _writable(self):
        if self.read_only:
            raise FuseOSError(errno.EROFS)

    def getattr(self, path, fh=None):
        try:
            st = os.lstat(self._path(path))
        except OSError as e:
            raise FuseOSError(e.errno)
        return {k: getattr(st, k) for k in ('st_mode', 'st_nlink', 'st_uid', 'st_gid', 'st_size',
                                            'st_atime', 'st_mtime', 'st_ctime')}

    def readdir(self, path, fh):
        return ['.', '..'] + os.listdir(self._path(path))

    def statfs(self, path):
        st = os.statvfs(self._path(path))
        return {k: getattr(st, k) for k in ('f_bsize', 'f_frsize', 'f_blocks', 'f_bfree', 'f_bavail',
                                            'f_files', 'f_ffree', 'f_namemax')}

    def open(self, path, flags):
        if flags & (os.O_WRONLY | os.O_RDWR | os.O_TRUNC | os.O_APPEND):
            self._writable()
        return os.open(self._path(path), flags)

    def create(self, path, mode, fi=None):
        self._writable()
        return os.open(self._path(path), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, mode)

    def read(self, path, size, offset, fh):
        data = os.pread(fh, size, offset)
        self.reads.spend(len(data))
        return data

    def write(self, path, data, offset, fh):
        self._writable()
        self.writes.spend(len(data))
        return os.pwrite(fh, data, offset)

    def truncate(self, path, length, fh=None):
        self._writable()
        os.truncate(self._path(path), length)

    def flush(self, path, fh):
        return 0

    def release(self, path, fh):
        os.close(fh)
        return 0

    def fsync(self, path, datasync, fh):
        return 0

    def mkdir(self, path, mode):
        self._writable()
        os.mkdir(self._path(path), mode)

    def rmdir(self, path):
        self._writable()
        os.rmdir(self._path(path))

    def unlink(self, path):
        self._writable()
        os.unlink(self._path(path))

    def chmod(self, path, mode):
        self._writable()
        os.chmod(self._path(path), mode)

    def chown(self, path, uid, gid):
        self._writable()

    def utimens(self, path, times=None):
        self._writable()
        os.utime(self._path(path), times)

    def rename(self, old, new):
        self._writable()
        os.rename(self._path(old), self._path(new))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('root')
    ap.add_argument('mount')
    ap.add_argument('--read-mbps', type=float, default=0)
    ap.add_argument('--write-mbps', type=float, default=0)
    ap.add_argument('--read-only', action='store_true')
    a = ap.parse_args()
    fs = SlowFS(a.root, a.read_mbps, a.write_mbps, a.read_only)
    FUSE(fs, a.mount, foreground=True, nothreads=False, direct_io=True, big_writes=True,
         max_read=131072, max_write=131072, allow_other=False, ro=a.read_only)


if __name__ == '__main__':
    fusepy.log.setLevel('ERROR')
    main()
