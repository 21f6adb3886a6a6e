#!/usr/bin/env python3
"""test_disc_faults.py - the real setup under Wine installing from a game disc
in a CD-ROM drive that fails as scratched discs do: a folder that cannot be
listed, a file that cannot be read, a read that works the third time; silently,
and in the window with its Retry or Cancel box; a Stop or the end of the
session while the drive struggles, in the window.

usage: test_disc_faults.py SETUP_EXE UIDRIVER_EXE WORKDIR

The drive is faultfs.py (FUSE) serving the sample disc read-only, shown to Wine
as drive X:, a CD-ROM drive. The fault plan is a file that the test rewrites
while the setup runs. WORKDIR holds the Wine prefix, the disc and the mount.
When FUSE is missing or the mount is refused, the test fails with one line.
Each case prints one line; the exit code is 1 when any case failed.
"""
import os
import subprocess
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.dirname(HERE))
from kelpwine import WINE_RUN, Wine, fresh_dir, make_sample_disc, tree_digest, win  # noqa: E402
import faultfs  # noqa: E402

CAPTION = "The Kelpmire setup"
INSTALLED = "The Kelpmire is installed."
FAILED = "The installation did not finish - see the messages above."
STOPPED = "ERROR: the installation was stopped"
ROLLED_BACK = "removed what this install had written"
DRIVE = "X:"
# A file that only the disc copy reads, in a folder two levels down.
FOLDER = "MAPS/WORLD1"
FILE = "MAPS/WORLD1/LEVEL2.MAP"


class CheckFailed(Exception):
    """A check of a case did not hold; the case stops there."""


def check(cond, what):
    if not cond:
        raise CheckFailed(what)


def on_disc(path):
    """The name the setup gives a disc file or folder: X:\\MAPS\\WORLD1."""
    return DRIVE + "\\" + path.replace("/", "\\")


def box_text(name):
    return (f"Cannot read {name} from the game disc. Clean the disc, put it back in the drive and click Retry, "
            "or click Cancel to stop the installation.")


class DiscFaults:
    def __init__(self, setup, uidriver, work):
        self.setup, self.uidriver = os.path.abspath(setup), os.path.abspath(uidriver)
        self.work = os.path.abspath(work)
        os.makedirs(self.work, exist_ok=True)
        self.disc = os.path.join(self.work, "disc")
        if not os.path.isdir(self.disc):
            make_sample_disc(self.disc)
        self.plan = os.path.join(self.work, "plan")
        self.mount = os.path.join(self.work, "drive")
        self.wine = Wine(os.path.join(self.work, "prefix"))

    def set_plan(self, text):
        # Written beside and renamed, so that the file system never reads half a plan.
        with open(self.plan + ".new", "w") as f:
            f.write(text)
        os.replace(self.plan + ".new", self.plan)

    def folder(self, name):
        return fresh_dir(os.path.join(self.work, "installs", name))

    def silent(self, folder):
        self.wine.reg_delete()
        rc, _, _ = self.wine.run_exe(self.setup, "/silent", "/nodesktop", "/nostartmenu", "/cd", DRIVE + "\\",
                                     "/dir", win(folder), timeout=300)
        return rc, self.wine.log_lines() or []

    def drive(self, *args, timeout=90):
        p = subprocess.run([WINE_RUN, self.wine.prefix, self.uidriver, *args], env=self.wine.env, timeout=timeout,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        return p.returncode, p.stdout.decode("utf-8", "replace").replace("\r\n", "\n")

    def window_lines(self):
        rc, out = self.drive("dump")
        check(rc == 0, "the window can be read")
        return [line.split("\t", 1)[1] for line in out.splitlines() if line.startswith("list\t")]

    # ---- silent installs ----

    def silent_fails(self, plan, path, what):
        """A silent install that must fail on the disc's path, with its line."""
        self.set_plan(plan + "\n")
        rc, lines = self.silent(self.folder(what))
        line = "read error in " + on_disc(path)
        check(rc == 1, f"exit 1 (got {rc})")
        check(line in lines, f"{line!r} in the log: {lines}")
        check(lines.count("read retried: " + on_disc(path)) == 1, f"the retry logged once: {lines}")
        check("Done." not in lines, "no Done.")
        return f"silent, {what}: {line}"

    def case_unlistable_folder(self):
        return self.silent_fails(f"list {FOLDER} -1", FOLDER, "a folder that cannot be listed")

    def case_unreadable_file(self):
        return self.silent_fails(f"read {FILE} -1", FILE, "a file that cannot be read")

    def case_read_works_the_third_time(self):
        self.set_plan(f"read {FILE} 2\n")
        folder = self.folder("third_time")
        rc, lines = self.silent(folder)
        check(rc == 0, f"exit 0 (got {rc}): {lines}")
        retried = [x for x in lines if x.startswith("read retried")]
        check(retried == ["read retried: " + on_disc(FILE)], f"one retry line: {retried}")
        check(tree_digest(os.path.join(folder, "game", "cd")) == tree_digest(self.disc),
              "the installed tree is byte-equal to the disc")
        return "silent, a read that works the third time: " + retried[0]

    # ---- the window ----

    def window_open(self, folder):
        """Starts the setup's window for an install from the drive into folder;
        returns the setup's process."""
        self.wine.reg_delete()
        return subprocess.Popen([WINE_RUN, self.wine.prefix, self.setup, "/cd", DRIVE + "\\", "/dir", win(folder)],
                                env=self.wine.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def window_until_box(self, folder):
        """Starts a window install from the failing drive and waits for the box;
        returns the setup's process."""
        proc = self.window_open(folder)
        rc, out = self.drive("press", "104", "--", "boxowner", CAPTION)
        check(rc == 0, "the Retry/Cancel box came up")
        owner = out.strip().split("\n")[-1]
        check(owner.startswith("owner\tKelpmireSetup\t"), f"the box is owned by the setup window: {owner!r}")
        return proc

    def answer(self, button):
        rc, out = self.drive("msgbox", CAPTION, button, "20000")
        check(rc == 0, f"the box's {button} was pressed")
        return " ".join(out.split())

    def end_window(self, proc):
        self.drive("close")
        try:
            proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        self.wine.wait_idle()

    def case_window_retry(self):
        self.set_plan(f"read {FILE} -1\n")
        folder = self.folder("window_retry")
        proc = self.window_until_box(folder)
        try:
            # The player cleans the disc, puts it back and clicks Retry.
            self.set_plan("")
            text = self.answer("Retry")
            check(text == box_text(on_disc(FILE)), f"the box's text: {text!r}")
            check(self.drive("wait", INSTALLED, "120000")[0] == 0, "the install finishes after Retry")
            check(tree_digest(os.path.join(folder, "game", "cd")) == tree_digest(self.disc),
                  "the installed tree is byte-equal to the disc")
        finally:
            self.end_window(proc)
        return "window, Retry after cleaning the disc: installed, byte-equal"

    def case_window_cancel(self):
        self.set_plan(f"read {FILE} -1\n")
        folder = self.folder("window_cancel")
        proc = self.window_until_box(folder)
        try:
            self.answer("Cancel")
            check(self.drive("wait", FAILED, "60000")[0] == 0, "the window shows the failed state")
            line = "read error in " + on_disc(FILE)
            lines = self.window_lines()
            check(line in lines, f"{line!r} in the window's list: {lines}")
            left = os.listdir(folder) if os.path.exists(folder) else []
            check(left == [], f"what the install wrote is gone: {left}")
        finally:
            self.end_window(proc)
        return "window, Cancel: failed, with " + line

    # ---- Stop and the end of the session ----

    def new_folder(self, name):
        """An install folder that the install makes, inside a fresh one."""
        return os.path.join(self.folder(name), "The Kelpmire PC")

    def stopped(self, proc, folder, within):
        """The setup ends stopped within the seconds given, its folder gone;
        returns the seconds it took."""
        start = time.monotonic()
        try:
            proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            raise CheckFailed("the setup did not end after the Stop")
        took = time.monotonic() - start
        lines = self.wine.log_lines() or []
        check(proc.returncode == 1, f"exit 1 (got {proc.returncode})")
        check(lines[-2:] == [STOPPED, ROLLED_BACK], f"the log ends with the stop and the rollback: {lines[-3:]}")
        check(not os.path.exists(folder), "the new install folder is gone")
        check(took < within, f"stopped {took:.1f} s after the Yes (at most {within} s)")
        return took

    def stop_window(self, plan, name, start, stop, what, within):
        """A window install into a new folder name under the fault plan, begun
        by start (window_open or window_until_box) and stopped by the uidriver
        steps stop: the Stop is confirmed (what), and the setup ends stopped
        within the seconds given; returns the seconds it took."""
        self.set_plan(plan)
        folder = self.new_folder(name)
        proc = start(folder)
        try:
            rc, _ = self.drive(*stop)
            check(rc == 0, what)
            return self.stopped(proc, folder, within)
        finally:
            self.set_plan("")
            self.end_window(proc)

    def case_window_stop_while_the_drive_struggles(self):
        # Every read of FILE takes 4 s and fails: its tries would take 16 s more
        # once the first has failed.
        took = self.stop_window(f"slow {FILE} 4000\nread {FILE} -1\n", "stop_struggling", self.window_open,
                                ("press", "104", "--", "wait", "read retried: " + on_disc(FILE), "120000", "--",
                                 "close", "--", "msgbox", CAPTION, "Yes", "20000"),
                                "Stop confirmed while the drive struggles", 10)
        return f"window, Stop while a read takes 4 s and fails: stopped after {took:.1f} s, folder gone"

    def case_window_stop_over_the_box(self):
        took = self.stop_window(f"read {FILE} -1\n", "stop_over_box", self.window_until_box,
                                ("close", "--", "msgbox", CAPTION, "Yes", "20000", "Stop the installation?"),
                                "Stop confirmed over the open Retry box", 30)
        return f"window, Stop over the Retry box: the box closed, stopped after {took:.1f} s, folder gone"

    def case_window_session_end(self):
        self.set_plan(f"slow {FILE} 4000\nread {FILE} -1\n")
        folder = self.new_folder("session_end")
        proc = self.window_open(folder)
        try:
            rc, out = self.drive("queryend")
            check(rc == 0 and "queryend\t1" in out, f"an idle window lets the session end: {out!r}")
            rc, out = self.drive("press", "104", "--", "wait", "read retried: " + on_disc(FILE), "120000", "--",
                                 "queryend", "--", "endsession")
            took = out.split("endsession\t")[-1].strip()
            check(rc == 0, f"the session's messages were answered: {out!r}")
            check("queryend\t0" in out, f"an install refuses the end of the session: {out!r}")
            # Windows ends the process once WM_ENDSESSION has returned: by then
            # the install is rolled back.
            check(not os.path.exists(folder), "no install folder left when WM_ENDSESSION returned")
            lines = self.wine.log_lines() or []
            check(lines[-2:] == [STOPPED, ROLLED_BACK], f"the log ends with the stop and the rollback: {lines[-3:]}")
        finally:
            self.set_plan("")
            self.end_window(proc)
        return f"window, the session ends during an install: refused, then rolled back in {took} ms before it ended"


def main(argv):
    if len(argv) != 4:
        sys.exit(__doc__)
    t = DiscFaults(argv[1], argv[2], argv[3])
    t.set_plan("")
    failed = 0
    try:
        with faultfs.mounted(t.disc, t.mount, t.plan):
            try:
                t.wine.set_cdrom(DRIVE[0], t.mount)
                for case in (t.case_unlistable_folder, t.case_unreadable_file, t.case_read_works_the_third_time,
                             t.case_window_retry, t.case_window_cancel, t.case_window_stop_while_the_drive_struggles,
                             t.case_window_stop_over_the_box, t.case_window_session_end):
                    try:
                        print("ok   " + case(), flush=True)
                    except Exception:  # noqa: BLE001 - every case reports, then the next runs
                        failed += 1
                        print("FAIL " + case.__name__, flush=True)
                        traceback.print_exc()
                        # A setup left running would hold the one-setup lock.
                        t.wine.end_programs()
            finally:
                # Wine lets go of the drive before it is unmounted.
                subprocess.run(["wineserver", "-k"], env=t.wine.env)
                t.wine.wait_idle()
    except faultfs.MountRefused as e:
        print("FAIL " + str(e), flush=True)
        return 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
