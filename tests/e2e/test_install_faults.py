#!/usr/bin/env python3
"""test_install_faults.py - the real setup under Wine, meeting faults during an
install: a disk that fills during the disc copy, an image cut short in the
middle of a file, a run killed half-way and run again, and a source file that
another program holds locked.

usage: test_install_faults.py SETUP_EXE LOCKFILE_EXE WORKDIR

WORKDIR holds this test's own Wine prefix and its fixtures, so that it never
disturbs the other end-to-end tests. Each case prints one line; the exit code
is 1 when any case failed.
"""
import hashlib
import os
import resource
import shutil
import signal
import subprocess
import sys
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kelpwine import ROOT, Wine, fresh_dir, make_sample_disc, tree_digest, unmount, win  # noqa: E402


class CheckFailed(Exception):
    """A check of a case did not hold; the case stops there."""


def check(cond, what):
    """Stops the case with what unless cond holds. A plain call, which
    python3 -O keeps, unlike an assert statement."""
    if not cond:
        raise CheckFailed(what)


def iso_files(image):
    """(name, extent, size) of every file of a plain ISO 9660 image, in the order
    a copy meets them (each directory's records in disc order, depth first)."""
    with open(image, "rb") as f:
        data = f.read()

    def le32(at):
        return int.from_bytes(data[at:at + 4], "little")

    out = []

    def walk(extent, size):
        d = extent * 2048
        end = d + size
        while d < end:
            n = data[d]
            if n == 0:
                d = (d // 2048 + 1) * 2048
                continue
            ident = data[d + 33:d + 33 + data[d + 32]]
            if ident not in (b"\0", b"\1"):
                if data[d + 25] & 2:
                    walk(le32(d + 2), le32(d + 10))
                else:
                    out.append((ident.split(b";")[0].rstrip(b".").decode(), le32(d + 2), le32(d + 10)))
            d += n

    pvd = 16 * 2048
    walk(le32(pvd + 158), le32(pvd + 166))
    return out


class Faults:
    def __init__(self, setup, lockfile, work):
        self.setup, self.lockfile = os.path.abspath(setup), os.path.abspath(lockfile)
        self.work = os.path.abspath(work)
        os.makedirs(self.work, exist_ok=True)
        # A fresh copy of the prefix the other end-to-end tests start from.
        self.wine = Wine(os.path.join(self.work, "prefix"),
                         template=os.path.join(os.path.dirname(self.work), "prefix.template"))
        self.disc = os.path.join(self.work, "disc")
        images = fresh_dir(os.path.join(self.work, "images"))
        make_sample_disc(self.disc, images)
        self.iso = os.path.join(images, "game.iso")

    def install(self, cd, folder, timeout=300):
        """Runs a silent install; returns (exit code, log lines)."""
        self.wine.reg_delete()
        rc, _, _ = self.wine.run_exe(self.setup, "/silent", "/nodesktop", "/nostartmenu",
                                     "/cd", win(cd), "/dir", win(folder), timeout=timeout)
        return rc, self.wine.log_lines() or []

    def nothing_registered(self, folder):
        check(self.wine.reg_query() is None, "no uninstall entry")
        for f in ("kelpmire.exe", "uninstall.exe"):
            check(not os.path.exists(os.path.join(folder, f)), f + " not written")

    # ---- the disk fills during the disc copy ----

    def small_disk(self, path, kib, files):
        """A file system of kib KiB with room for files files and folders at
        path: a tmpfs, where mounting is allowed. A tmpfs that is full fails
        open() and write() with ENOSPC, which Wine reports as ERROR_DISK_FULL,
        exactly as a full Windows disk. Returns the way to undo it, or None
        where this machine cannot mount."""
        fresh_dir(path)
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dk,nr_inodes=%d,mode=0755" % (kib, files),
                            "tmpfs", path], stderr=subprocess.PIPE)
        if r.returncode != 0:
            return None

        def undo():
            # A setup that the case left running holds files there.
            self.wine.end_programs()
            unmount(path)
        return undo

    def slack_iso(self):
        """The sample disc with 2,000 files of one byte added, as an ISO image.
        The setup checks the room that the disc's files take, each in whole
        clusters, against the free space before it writes; but a disk also
        holds only so many files, which no free space tells: a disk with the
        room but not the files passes the check and fills during the copy."""
        tree = os.path.join(self.work, "slack_disc")
        shutil.rmtree(tree, ignore_errors=True)
        shutil.copytree(self.disc, tree)
        for i in range(2000):
            os.makedirs(os.path.join(tree, "SAVES%02d" % (i // 100)), exist_ok=True)
            with open(os.path.join(tree, "SAVES%02d" % (i // 100), "S%04d.DAT" % i), "wb") as f:
                f.write(b"s")
        iso = os.path.join(fresh_dir(os.path.join(self.work, "slack_images")), "slack.iso")
        subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "-o", iso, tree], check=True,
                       stderr=subprocess.DEVNULL)
        return iso

    def case_disk_full(self):
        small = os.path.join(self.work, "small")
        folder = os.path.join(small, "Kelpmire")
        iso = self.slack_iso()
        before = tree_digest(os.path.dirname(iso))
        undo = self.small_disk(small, 64 << 10, 1000)
        limit = None
        if undo is None:
            # No mount here (not root): a per-file size limit instead, which
            # the setup's process inherits. A write past it fails with EFBIG
            # (SIGXFSZ ignored), which WriteFile reports as a failure as well.
            fresh_dir(small)
            limit = 96 * 1024
        try:
            if limit is None:
                rc, lines = self.install(iso, folder)
            else:
                rc, lines = self.install_limited(iso, folder, limit)
            check(rc == 1, "exit 1 (got %d)" % rc)
            writes = [l for l in lines if l.startswith(("write failed: " + win(folder) + "\\game\\cd\\",
                                                         "cannot write " + win(folder) + "\\game\\cd\\"))]
            check(writes, "a write failure of the copy is logged: %s" % lines)
            check(lines[-2:] == ["ERROR: copying the CD failed", "removed what this install had written"],
                  "the log ends with the copy failure and the removal: %s" % lines)
            check(os.listdir(small) == [], "the install folder that the run made is gone: %s" % os.listdir(small))
            self.nothing_registered(folder)
            check(tree_digest(os.path.dirname(iso)) == before, "the source unchanged")
            return "disk full (%s): %s" % ("tmpfs of 1,000 files" if limit is None else "file size limit",
                                           writes[0])
        finally:
            if undo:
                undo()

    def install_limited(self, cd, folder, limit, past_limit=signal.SIG_IGN):
        """A silent install whose process may write no file beyond limit bytes;
        returns (exit code, log lines). A write past the limit fails with EFBIG
        when past_limit is SIG_IGN; with SIG_DFL, SIGXFSZ ends the process
        there, leaving no core file. The Wine server and the prefix's services
        run outside the limit (main starts them to stay), so that the registry
        files are not cut."""
        self.wine.reg_delete()

        def cap():
            signal.signal(signal.SIGXFSZ, past_limit)
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        p = subprocess.run([os.path.join(ROOT, "scripts", "wine-run"), self.wine.prefix, self.setup, "/silent",
                            "/nodesktop", "/nostartmenu", "/cd", win(cd), "/dir", win(folder)],
                           env=self.wine.env, preexec_fn=cap, timeout=300,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return p.returncode, self.wine.log_lines() or []

    # ---- an image cut short in the middle of a file ----

    def case_cut_image(self):
        # The file whose data lie last in the image: cutting inside it leaves
        # every file before it whole, so it is the one the copy stops at.
        name, extent, size = max(iso_files(self.iso), key=lambda f: f[1] + (f[2] + 2047) // 2048)
        check(size > 4096, "the last file, %s, spans sectors (%d bytes)" % (name, size))
        cut = os.path.join(self.work, "cut.iso")
        with open(self.iso, "rb") as f:
            data = f.read((extent + (size // 2048) // 2) * 2048 + 1000)
        with open(cut, "wb") as f:
            f.write(data)
        folder = fresh_dir(os.path.join(self.work, "cut_install"))
        rc, lines = self.install(cut, folder)
        check(rc == 1, "exit 1 (got %d)" % rc)
        check("read error in %s" % name in lines, "the read error is logged: %s" % lines)
        check(lines[-2:] == ["ERROR: copying the CD failed", "removed what this install had written"],
              "the log ends with the copy failure and the removal: %s" % lines)
        check(os.listdir(folder) == [], "what the run wrote is gone: %s" % os.listdir(folder))
        self.nothing_registered(folder)
        return "cut image: read error in %s, exit 1" % name

    # ---- a run killed half-way, then run again ----

    def case_killed_and_again(self):
        disc = os.path.join(self.work, "big_disc")
        shutil.rmtree(disc, ignore_errors=True)
        shutil.copytree(self.disc, disc)
        # A file larger than any other the setup writes, so that the kill
        # comes in the middle of its copy.
        big = os.path.join(disc, "MOVIES", "BIG.MOV")
        os.makedirs(os.path.dirname(big))
        block = hashlib.sha256(b"kelp").digest() * (1 << 15)  # 1 MiB
        with open(big, "wb") as f:
            for i in range(48):
                f.write(block[i % 32:] + block[:i % 32])
        try:
            folder = os.path.join(self.work, "killed")
            shutil.rmtree(folder, ignore_errors=True)
            target = os.path.join(folder, "game", "cd", "MOVIES", "BIG.MOV")
            # The kernel ends the setup with SIGXFSZ at its first write past
            # the limit: a fixed point in the middle of BIG.MOV, whatever the
            # machine's speed. The copy writes whole blocks of 1 MiB, so the
            # last one before that point ends exactly at the limit.
            limit = 16 << 20
            rc, lines = self.install_limited(disc, folder, limit, past_limit=signal.SIG_DFL)
            check(rc == -signal.SIGXFSZ, "the setup ended by SIGXFSZ (exit %d)" % rc)
            # What Wine started under the limit goes too, as when a session is
            # killed; the server starts again outside the limit.
            self.wine.stop_server()
            self.wine.start_server()
            cut_at = os.path.getsize(target) if os.path.exists(target) else -1
            check(cut_at == limit, "BIG.MOV cut at the limit, %d bytes (got %d)" % (limit, cut_at))
            check("Done." not in lines, "the killed install did not end: %s" % lines)

            rc, lines = self.install(disc, folder)
            check(rc == 0 and lines[-1:] == ["Done."], "the run again installs (exit %d): %s" % (rc, lines))
            again = tree_digest(folder)
            check(self.wine.reg_query() is not None, "an uninstall entry")

            whole = os.path.join(self.work, "whole")
            shutil.rmtree(whole, ignore_errors=True)
            rc, lines = self.install(disc, whole)
            check(rc == 0 and lines[-1:] == ["Done."], "the uninterrupted install (exit %d): %s" % (rc, lines))
            expected = tree_digest(whole)
            diff = sorted(set(again.items()) ^ set(expected.items()))
            check(again == expected, "the two installs differ: %s" % diff[:6])
            return "killed at %d MiB of %d, then run again: %d entries as an uninterrupted install" % (
                cut_at >> 20, os.path.getsize(big) >> 20, len(again))
        finally:
            for d in (disc, os.path.join(self.work, "killed"), os.path.join(self.work, "whole")):
                shutil.rmtree(d, ignore_errors=True)

    # ---- a source file that cannot be read ----

    def case_locked_file(self):
        # Wine runs as root here, so Unix permissions would not stop it; a file
        # that another Windows program holds open without sharing does.
        locked = os.path.join(self.disc, "DATA", "T.QAR")
        # Held as long as the run could take: it ends when the case ends.
        holder = subprocess.Popen([os.path.join(ROOT, "scripts", "wine-run"), self.wine.prefix, self.lockfile,
                                   win(locked), "3600"], env=self.wine.env, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL)
        try:
            first = holder.stdout.readline().decode(errors="replace").strip()
            check(first == "locked", "the holder locked the file (said %r)" % first)
            folder = fresh_dir(os.path.join(self.work, "locked_install"))
            rc, lines = self.install(self.disc, folder)
            check(rc == 1, "exit 1 (got %d)" % rc)
            line = "cannot read %s\\DATA\\T.QAR" % win(self.disc)
            check(line in lines, "the unreadable file is logged: %s" % lines)
            check(lines[-2:] == ["ERROR: copying the CD failed", "removed what this install had written"],
                  "the log ends with the copy failure and the removal: %s" % lines)
            self.nothing_registered(folder)
            check(os.listdir(folder) == [], "what the run wrote is gone: %s" % os.listdir(folder))
            return "locked file: " + line
        finally:
            holder.kill()
            holder.wait(timeout=60)
            holder.stdout.close()


def main(argv):
    if len(argv) != 4:
        sys.exit(__doc__)
    t = Faults(argv[1], argv[2], argv[3])
    failed = 0
    # One server for the whole script, started before any run under a limit:
    # a run that started it would pass its limit on to the server.
    t.wine.start_server()
    try:
        for case in (t.case_disk_full, t.case_cut_image, t.case_locked_file, t.case_killed_and_again):
            try:
                print("ok   " + case())
            except Exception:  # noqa: BLE001 - every case reports, then the next runs
                failed += 1
                print("FAIL " + case.__name__)
                traceback.print_exc()
                # A setup left running would hold the one-setup lock.
                t.wine.end_programs()
            sys.stdout.flush()
    finally:
        t.wine.stop_server()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
