#!/usr/bin/env python3
"""The setup window under Wine, driven by uidriver.exe and photographed.

usage: test_window.py SOURCE_DIR BUILD_DIR SETUP_EXE UIDRIVER_EXE SCANNER_EXE

Runs in a Wine prefix of its own (BUILD_DIR/e2e/window/prefix) on an Xvfb
display of its own, large enough for the window at 200 %. Each case starts the
real setup, reads the window through the driver and checks what the install
left on disk. The screenshots ready.png, installed.png, dpi96.png and
dpi192.png are left in BUILD_DIR/e2e/window for people to look at.

The display scaling is the prefix's LogPixels value; each scaling case sets it
before the setup starts, and it is set back to 96 when that case ends and when
the script starts (a run killed by its time-out may have left another).

No case races the clock. An install that must still run when a question is
answered is held at a known point: its hard-disk folder holds a folder where
the game profile must write a file, so the worker waits in the profile's error
box until the test dismisses it. A question that must come before the install
ends is queued behind the Install command while the setup is stopped by
SIGSTOP, so the window handles it first. Typed keys come after every posted
message, so Escape typed behind Enter is read after the install's first posts:
that install copies a disc of 40,000 small files (made once and kept in the
work folder), and is held at the hard-disk files as well, so that it is still
running when the key is read and cannot end before the test answers. A file
held past the setup's tries is held by the stand-in virus scanner until the
test ends it.
"""
import os
import shutil
import subprocess
import contextlib
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kelpwine import WINE_RUN, Wine, end_process, fresh_dir, make_sample_disc, tree_files, win  # noqa: E402

src_dir, build_dir, setup_exe, uidriver_exe, scanner_exe = sys.argv[1:6]
work = os.path.join(os.path.abspath(build_dir), "e2e", "window")
failures = []

CAPTION = "The Kelpmire setup"
DEFAULT_DIR = r"C:\Games\The Kelpmire PC"
READY = "Ready. About 500 MB of free space is needed."
INSTALLED = "The Kelpmire is installed."
FAILED = "The installation did not finish - see the messages above."
INTRO = ("Install The Kelpmire as a native Windows game. You need your copy of The Kelpmire: "
         "the CD, an ISO / BIN+CUE image, or a copied folder.")  # the driver prints line ends as blanks

STOP = "Stop the installation?"
HD_FAILED = "Copying the game files from the CD failed."
REMOVING = "Removing what was installed ..."
WS_TABSTOP = 0x10000

# class, text (None: the box's value), style, id, x, y, w, h at 96 DPI; every
# child also has WS_CHILD | WS_VISIBLE.
TABLE = [
    ("Static", INTRO, 0x0, 0, 16, 14, 600, 36),
    ("Static", "CD:", 0x0, 0, 16, 66, 90, 20),
    ("Edit", None, 0x80 | WS_TABSTOP, 0, 110, 62, 360, 24),
    ("Button", "Image...", WS_TABSTOP, 101, 478, 62, 66, 24),
    ("Button", "Folder...", WS_TABSTOP, 102, 548, 62, 66, 24),
    ("Static", "Install to:", 0x0, 0, 16, 98, 90, 20),
    ("Edit", None, 0x80 | WS_TABSTOP, 0, 110, 94, 360, 24),
    ("Button", "Browse...", WS_TABSTOP, 103, 478, 94, 136, 24),
    ("Button", "Start menu shortcut", 0x3 | WS_TABSTOP, 0, 16, 134, 200, 22),
    ("Button", "Desktop shortcut", 0x3 | WS_TABSTOP, 0, 230, 134, 200, 22),
    ("msctls_progress32", "", 0x0, 0, 16, 168, 598, 18),
    ("Static", READY, 0x0, 0, 16, 192, 598, 20),
    ("ListBox", "", 0xA00100 | WS_TABSTOP, 0, 16, 216, 598, 110),
    ("Button", "Install", 0x1 | WS_TABSTOP, 104, 418, 336, 96, 30),
    ("Button", "Cancel", WS_TABSTOP, 105, 518, 336, 96, 30),
]
# The tab stops in the table's order (indexes of TABLE).
TAB_ORDER = [i for i, row in enumerate(TABLE) if row[2] & WS_TABSTOP]
WS_CHILD_VISIBLE = 0x50000000
WS_VSCROLL = 0x200000
WS_EX_CLIENTEDGE = 0x200
DPIS = (96, 120, 144, 192)


def px(v, dpi):
    """A length of the 96-DPI layout at dpi, rounded half up (MulDiv)."""
    return (v * dpi + 48) // 96



def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what, flush=True)
    if not cond:
        failures.append(what)
    return cond


def start_display():
    """An Xvfb display of our own, whatever DISPLAY says: the window at 200 %
    needs more than the usual test screen. Returns its process."""
    for n in range(90, 121):
        if os.path.exists(f"/tmp/.X{n}-lock"):
            continue
        x = subprocess.Popen(["Xvfb", f":{n}", "-screen", "0", "2560x1600x24", "-nolisten", "tcp"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(50):
            if os.path.exists(f"/tmp/.X11-unix/X{n}"):
                break
            time.sleep(0.1)
        if x.poll() is None:
            os.environ["DISPLAY"] = f":{n}"
            return x
    raise SystemExit("no display for Wine")


class Window:
    """The setup window as uidriver.exe dumps it."""

    def __init__(self, out):
        self.children, self.lines = [], []
        self.progress = None
        for line in out.splitlines():
            f = line.rstrip("\r").split("\t")
            if f[0] == "window":
                self.client = (int(f[1]), int(f[2]))
                self.origin = (int(f[3]), int(f[4]))
            elif f[0] == "frame":
                self.frame = tuple(int(v) for v in f[1:5])
            elif f[0] == "title":
                self.title = f[1]
            elif f[0] == "style":
                self.style, self.exstyle = int(f[1], 16), int(f[2], 16)
            elif f[0] == "child":
                self.children.append(dict(cls=f[1], text=f[2], style=int(f[3], 16), id=int(f[4]),
                                          rect=tuple(int(v) for v in f[5:9]), enabled=f[9] == "1",
                                          checked=f[10] == "1", exstyle=int(f[11], 16)))
            elif f[0] == "progress":
                self.progress = int(f[1])
            elif f[0] == "list":
                self.lines.append(f[1])

    def child(self, i):
        return self.children[i]

    @property
    def status(self):
        return self.children[11]["text"]


class Setup:
    """One run of the setup with its window."""

    def __init__(self, wine, exe, *args):
        self.wine = wine
        self.proc = subprocess.Popen([WINE_RUN, wine.prefix, exe, *args], env=wine.env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def drive(self, *args, timeout=60):
        """Runs the driver; returns (exit code, output)."""
        p = subprocess.run([WINE_RUN, self.wine.prefix, uidriver_exe, *args], env=self.wine.env, timeout=timeout,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out = p.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
        if p.returncode != 0:
            print(f"  driver {args}: exit {p.returncode} {p.stderr.decode('utf-8', 'replace').strip()}")
        return p.returncode, out

    def dump(self):
        # The first start in a prefix may take long (font cache): wait while
        # the setup runs, past the driver's own wait for the window.
        deadline = time.time() + 120
        while True:
            rc, out = self.drive("dump")
            if rc == 0:
                return Window(out)
            if self.proc.poll() is not None or time.time() > deadline:
                raise AssertionError("no setup window")

    def wait_status(self, text, timeout_ms=60000):
        return self.drive("wait", text, str(timeout_ms))[0] == 0

    def answer(self, *press, button, text=None):
        """Does the press (driver arguments), then answers the setup's message
        box (the one with that text, when given) with button; returns the box's
        text, or None when none came up. The box's owner must be the window."""
        only = (text,) if text else ()
        before = (*press, "--") if press else ()
        rc, out = self.drive(*before, "boxowner", CAPTION, *only, "--", "msgbox", CAPTION, button, "20000", *only)
        if rc != 0:
            return None
        lines = out.strip().split("\n")
        check(lines[0] == "owner\tKelpmireSetup\tThe Kelpmire - Quorvane Setup",
              f"the box is owned by the setup window (got {lines[0]!r})")
        return "\n".join(lines[1:]).strip()

    def measure(self):
        """The hook's measurement: one dict per child in creation order."""
        rc, out = self.drive("measure")
        rows = []
        for line in out.splitlines():
            f = line.split("\t")
            if f[0] == "measure":
                rows.append(dict(cls=f[1], tw=int(f[2]), th=int(f[3]), cw=int(f[4]), ch=int(f[5]),
                                 lfheight=int(f[6]), face=f[7], line=int(f[8])))
        return rows

    def focus(self, keys=(), start=None):
        """Presses keys one by one; returns the focus index after each (or the
        current one when no key is given)."""
        if not keys:
            return [int(self.drive("focus")[1].split("\t")[1])]
        # One driver run per key: each waits for the focus to leave where it was.
        seen, cur = [], start
        for k in keys:
            rc, out = self.drive("key", k, "--", "focus", str(cur))
            cur = int(out.strip().split("\t")[1]) if rc == 0 and out.strip() else -3
            seen.append(cur)
        return seen

    @contextlib.contextmanager
    def stopped(self):
        """The setup stopped by SIGSTOP: what the driver posts or types meanwhile
        waits in its queue, in order, until the block ends."""
        os.kill(self.proc.pid, signal.SIGSTOP)
        try:
            yield
        finally:
            os.kill(self.proc.pid, signal.SIGCONT)

    def wait_exit(self, timeout=60):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return None


def screenshot(setup, name):
    """The window's outer rectangle from the root window, as a PNG in the work folder."""
    w = setup.dump()
    x, y, width, height = w.frame
    path = os.path.join(work, name)
    raw = subprocess.run(["import", "-window", "root", "-crop", f"{width}x{height}+{x}+{y}", "+repage", path],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    check(raw.returncode == 0 and os.path.getsize(path) > 0, f"screenshot {name}")


def log_from_install(wine):
    """The log file's lines from the first "Install to" on."""
    lines = wine.log_lines() or []
    first = next((i for i, l in enumerate(lines) if l.startswith("Install to ")), len(lines))
    return lines[first:]


def c_path(wine, windows_dir):
    """The Linux path of a folder on the prefix's drive C:."""
    if windows_dir[:3].upper() != "C:\\":
        check(False, f"{windows_dir} is on drive C:")
        raise AssertionError(f"not on drive C: {windows_dir}")
    return wine.drive_c(*windows_dir[3:].split("\\"))


def install_complete(wine, windows_dir, disc):
    d = c_path(wine, windows_dir)
    check(tree_files(os.path.join(d, "game", "cd")) == tree_files(disc), f"{windows_dir}: game\\cd holds the disc")
    check(sorted(os.listdir(os.path.join(d, "game", "hd"))) and
          all(os.path.getsize(os.path.join(d, "game", "hd", f)) > 0 for f in os.listdir(os.path.join(d, "game", "hd"))),
          f"{windows_dir}: game\\hd holds the hard-disk files")
    for f in ("kelpmire.exe", "uninstall.exe"):
        check(os.path.getsize(os.path.join(d, f)) > 0, f"{windows_dir}: {f}")
    reg = wine.reg_query()
    check(reg is not None and reg.get("InstallLocation", ("", ""))[1] == windows_dir,
          f"{windows_dir}: the uninstall entry names the folder")


def clean(wine):
    """No install, registry entry or shortcut left from an earlier case or run."""
    for d in ("Games", "Custom Place", "Long"):
        shutil.rmtree(wine.drive_c(d), ignore_errors=True)
    wine.reg_delete()
    for f in wine.shortcut_files():
        if os.path.exists(f):
            os.remove(f)


def case_ready_and_image(wine, disc, iso):
    """Ready beside an image with the shortcut options; then an install from it
    in which the check boxes, not the options, decide the shortcuts."""
    print("== ready: image beside the setup, /nodesktop /nostartmenu /dir")
    clean(wine)
    beside = fresh_dir(os.path.join(work, "beside"))
    shutil.copyfile(setup_exe, os.path.join(beside, "kelpmire_setup.exe"))
    shutil.copyfile(iso, os.path.join(beside, "game.iso"))
    s = Setup(wine, os.path.join(beside, "kelpmire_setup.exe"), "/nodesktop", "/nostartmenu", "/dir",
              r"C:\Custom Place")
    w = s.dump()
    check(w.client == (630, 420), f"client area 630 x 420 (got {w.client})")
    check(w.title == "The Kelpmire - Quorvane Setup", "title")
    # Caption, system menu and minimise box; neither sizing border nor maximise box.
    check(w.style & 0xCF0000 == 0xCA0000, f"window style {w.style:#x}")
    check(len(w.children) == len(TABLE), f"{len(TABLE)} children (got {len(w.children)})")
    values = {2: win(os.path.join(beside, "game.iso")), 6: r"C:\Custom Place"}
    for i, (cls, text, style, cid, x, y, width, height) in enumerate(TABLE):
        if i >= len(w.children):
            break
        c = w.child(i)
        want_text = values[i] if text is None else text
        check(c["cls"].lower() == cls.lower(), f"child {i + 1} class {cls} (got {c['cls']})")
        check(c["text"] == want_text, f"child {i + 1} text '{want_text}' (got '{c['text']}')")
        check(c["id"] == cid, f"child {i + 1} id {cid} (got {c['id']})")
        check(c["rect"] == (x, y, width, height), f"child {i + 1} at {x},{y} size {width}x{height} (got {c['rect']})")
        # A list box shows its scroll bar, and so the WS_VSCROLL bit, only while
        # its lines overflow; the installed state checks it. The rest is exact:
        # no WS_TABSTOP, no WS_GROUP, nothing else.
        loose = WS_VSCROLL if cls == "ListBox" else 0
        want = style | WS_CHILD_VISIBLE
        check(c["style"] & ~loose == want & ~loose, f"child {i + 1} style {want:#x} (got {c['style']:#x})")
        check(c["exstyle"] & WS_EX_CLIENTEDGE == (WS_EX_CLIENTEDGE if cls == "Edit" else 0),
              f"child {i + 1} sunken edge only on edit boxes (got {c['exstyle']:#x})")
    check(w.child(8)["checked"] and w.child(9)["checked"], "both check boxes checked despite the options")
    check(w.progress == 0 and w.lines == [], "progress 0, list empty")
    check(w.child(13)["enabled"], "Install enabled")
    screenshot(s, "ready.png")

    # Image... opens the file dialog (its library is loaded on first use);
    # Cancel there leaves the disc box as it was.
    rc, _ = s.drive("press", "101", "--", "msgbox", "The Kelpmire CD", "Cancel", "20000")
    check(rc == 0, "Image... opens the file dialog, and its Cancel closes it")
    check(s.dump().child(2)["text"] == values[2], "the disc box unchanged after Cancel")

    # The Start-menu box off: only the desktop shortcut may appear.
    check(s.drive("check", "0", "0")[0] == 0, "Start-menu box unchecked")
    rc, out = s.drive("start")
    snap = dict(line.split("\t", 1) for line in out.splitlines() if "\t" in line)
    check(snap.get("status") == "Installing...", f"status 'Installing...' at the start (got {snap.get('status')!r})")
    check(snap.get("install") == "Install\t0", f"Install greyed (got {snap.get('install')!r})")
    check(snap.get("close") == "Cancel", f"the other button reads Cancel (got {snap.get('close')!r})")
    check(s.wait_status(INSTALLED), "installed from the image")
    install_complete(wine, r"C:\Custom Place", disc)
    start_lnk, desk_lnk = wine.shortcut_files()
    check(os.path.exists(desk_lnk) and not os.path.exists(start_lnk), "desktop shortcut only, as the boxes said")
    s.drive("press", "105")
    check(s.wait_exit() == 0, "Close ends the setup with 0")


def case_fail_then_play(wine, disc, notdisc):
    """The default folder, a folder that is not the disc, then the disc, then Play."""
    print("== a folder that is not the disc, then the disc, then Play")
    clean(wine)
    s = Setup(wine, setup_exe, "/cd", win(notdisc))
    w = s.dump()
    check(w.child(2)["text"] == win(notdisc) and w.child(6)["text"] == DEFAULT_DIR,
          f"boxes show /cd and the default folder (got {w.child(2)['text']!r}, {w.child(6)['text']!r})")
    s.drive("press", "104")
    check(s.wait_status(FAILED), "the failure text")
    w = s.dump()
    check(w.child(13)["enabled"] and w.child(13)["text"] == "Install", "Install enabled again")
    check(w.child(14)["text"] == "Close", "the other button reads Close")
    check(w.lines[:1] == ["Install to " + DEFAULT_DIR], f"the list begins with 'Install to' (got {w.lines[:1]})")
    check(any(l.startswith("CD check: ") and l.endswith(" missing") for l in w.lines) and
          w.lines[-1].startswith("ERROR: "), f"the list holds the reasons (got {w.lines})")
    first_attempt = w.lines
    # A second attempt with the same box fails the same way; the list keeps both.
    rc, out = s.drive("start")
    check("status\tInstalling...\n" in out, "Install again after the failure")
    check(s.wait_status(FAILED), "the failure text again")
    w = s.dump()
    check(len(first_attempt) >= 2 and w.lines == first_attempt + first_attempt,
          f"the list holds both attempts (got {w.lines})")
    first_run = w.lines

    s.drive("settext", "0", win(disc))
    rc, out = s.drive("start")
    check("status\tInstalling...\n" in out and "install\tInstall\t0\n" in out, "the second install starts")
    check(s.wait_status(INSTALLED), "the second install succeeds")
    w = s.dump()
    check(w.progress == 1000, f"the bar at 1000 (got {w.progress})")
    check(w.child(13)["text"] == "Play" and w.child(13)["enabled"], "Install reads Play")
    check(w.child(14)["text"] == "Close", "the other button reads Close")
    check(w.lines[:len(first_run)] == first_run, "the list keeps the first run's lines")
    check(w.lines == log_from_install(wine), "the list follows the log from 'Install to' on")
    check(w.lines[-1] == "Done.", "the last line is Done.")
    check(w.child(12)["style"] & WS_VSCROLL,
          f"the list's scroll bar with {len(w.lines)} lines (style {w.child(12)['style']:#x})")
    install_complete(wine, DEFAULT_DIR, disc)
    check(all(os.path.exists(f) for f in wine.shortcut_files()), "both shortcuts")
    screenshot(s, "installed.png")

    rc, text = s.drive("press", "104", "--", "msgbox", "The Kelpmire (stand-in)", "OK", "30000")
    check(s.wait_exit() == 0, "Play ends the setup with 0")
    check(rc == 0 and f"Running in {DEFAULT_DIR} " in text and "game\\cd: present" in text,
          f"the game runs in the install folder (got {text.strip()!r})")


def case_empty_box(wine, disc):
    print("== an empty disc box, then an empty folder box")
    clean(wine)
    s = Setup(wine, setup_exe)
    w = s.dump()
    check(w.child(2)["text"] == "", "no disc found: the disc box is empty")
    text = s.answer("press", "104", button="OK")
    check(text == "Please choose the CD and the install folder.", f"the warning (got {text!r})")
    s.drive("settext", "0", win(disc), "--", "settext", "1", "")
    text = s.answer("press", "104", button="OK")
    check(text == "Please choose the CD and the install folder.", f"the warning for the folder (got {text!r})")
    w = s.dump()
    check(w.status == READY and w.lines == [] and w.child(13)["enabled"], "still Ready, nothing installed")
    s.drive("close")
    check(s.wait_exit() == 0, "the close box while Ready ends the setup with 0")
    check(not any(l.startswith("Install to") for l in wine.log_lines() or []), "no install was started")


def hold_at_hd_files(wine, windows_dir):
    """A folder where the game profile must write "HD.QAR": the install then
    waits in the profile's error box, after the disc copy, until it is answered."""
    os.makedirs(os.path.join(c_path(wine, windows_dir), "game", "hd", "HD.QAR"))


def case_stop(wine, disc):
    print("== stopping an install held at a known point")
    clean(wine)
    hold_at_hd_files(wine, r"C:\Long")
    s = Setup(wine, setup_exe, "/cd", win(disc), "/dir", r"C:\Long")
    w0 = s.dump()
    rc, out = s.drive("start")
    check("status\tInstalling...\n" in out, "installing")
    # The worker now waits in the profile's box, which the window owns.
    rc, out = s.drive("boxowner", CAPTION, HD_FAILED)
    check(rc == 0 and out.strip() == "owner\tKelpmireSetup\tThe Kelpmire - Quorvane Setup",
          f"the game profile's box is owned by the window (got {out.strip()!r})")
    w1 = s.dump()
    check(w0.progress < w1.progress < 1000, f"the bar rose with the copy ({w0.progress}, then {w1.progress})")
    text = s.answer("press", "105", button="No", text=STOP)
    check(text == STOP, f"Cancel asks (got {text!r})")
    w2 = s.dump()
    check(s.proc.poll() is None and not w2.child(13)["enabled"] and w2.child(14)["text"] == "Cancel",
          "No: the install goes on")
    text = s.answer("close", button="No", text=STOP)
    check(text == STOP, f"the close box asks the same (got {text!r})")
    check(s.proc.poll() is None and s.dump().status != FAILED, "No again: still running")
    text = s.answer("press", "105", button="Yes", text=STOP)
    check(text == STOP, "Cancel asks again")
    # The worker still waits in the profile's box: the process does not end
    # in the middle of the install, but once the worker has finished.
    check(s.proc.poll() is None and s.dump().status == REMOVING, "Yes: the setup removes what it wrote")
    rc, _ = s.drive("msgbox", CAPTION, "OK", "20000", HD_FAILED)
    check(rc == 0, "the profile's box answered")
    check(s.wait_exit() == 1, "then the setup ends with 1")
    # The folder and its "game" were there before: what the run wrote goes,
    # what the test put there stays.
    d = c_path(wine, r"C:\Long")
    log = wine.log_lines() or []
    check(log[-1:] == ["removed what this install had written"], f"the log ends with the removal ({log[-3:]!r})")
    check(not any(os.path.exists(os.path.join(d, f)) for f in ("kelpmire.exe", "uninstall.exe")) and
          wine.reg_query() is None, "no game, uninstaller or registry entry")
    check(os.path.isdir(os.path.join(d, "game", "hd", "HD.QAR")), "the folder the test made stays")


def case_stop_during_copy(wine, bigdisc):
    """Stop confirmed while the disc is copied: the copy stops at its next
    block, what the install wrote is removed, and the setup ends with 1."""
    print("== stopping during the copy")
    clean(wine)
    target = c_path(wine, r"C:\Stopped")
    shutil.rmtree(target, ignore_errors=True)
    s = Setup(wine, setup_exe, "/cd", win(bigdisc), "/dir", r"C:\Stopped\The Kelpmire PC")
    s.dump()
    rc, out = s.drive("start")
    check("status\tInstalling...\n" in out, "installing")
    deadline = time.time() + 120
    while time.time() < deadline and not os.path.isdir(os.path.join(target, "The Kelpmire PC", "game", "cd")):
        time.sleep(0.2)
    text = s.answer("press", "105", button="Yes", text=STOP)
    check(text == STOP, f"Cancel asks ({text!r})")
    check(s.wait_exit(timeout=120) == 1, "Yes ends the setup with 1")
    check(not os.path.exists(target), "the folders that the install made are gone")
    log = wine.log_lines() or []
    check(log[-2:] == ["ERROR: the installation was stopped", "removed what this install had written"],
          f"the log says so ({log[-2:]!r})")


def case_finish_during_question(wine, disc):
    """The install ends while "Stop the installation?" is open: Yes then closes
    the window normally."""
    print("== the install ends while the question is open")
    clean(wine)
    s = Setup(wine, setup_exe, "/cd", win(disc), "/dir", r"C:\Long")
    s.dump()
    # Install and Cancel wait in the queue together: Cancel is handled right
    # after the install has started, before anything the install posts.
    with s.stopped():
        rc, _ = s.drive("press", "104", "--", "press", "105")
    check(rc == 0, "Install and Cancel pressed")
    # The question's own message loop keeps handling the install's messages.
    rc, out = s.drive("wait", INSTALLED, "600000", "--", "msgbox", CAPTION, "Yes", "5000", timeout=660)
    check(rc == 0 and out.strip() == STOP, f"installed while the question was open ({out!r})")
    check(s.wait_exit() == 0, "Yes after the end closes the setup with 0")
    check(os.path.exists(c_path(wine, r"C:\Long\kelpmire.exe")), "the install is complete")


def case_second_setup(wine, disc):
    """A second setup while the first shows its window: it says so and ends
    with 1, without touching the first one's log."""
    print("== a second setup while one runs")
    clean(wine)
    s = Setup(wine, setup_exe, "/cd", win(disc), "/dir", r"C:\Long")
    s.dump()
    log = wine.log_lines()
    second = wine.start_exe(setup_exe)
    rc, out = s.drive("msgbox", CAPTION, "OK", "60000", "The Kelpmire setup is already running.")
    check(rc == 0, f"the second setup says that one runs ({out!r})")
    check(second.wait(timeout=60) == 1, "and ends with 1")
    rc, _, _ = wine.run_exe(setup_exe, "/silent", "/cd", win(disc), "/dir", r"C:\Second")
    check(rc == 1, "a silent one ends with 1 too")
    check(not os.path.exists(c_path(wine, r"C:\Second")), "and installs nothing")
    check(wine.log_lines() == log, "the first setup's log is untouched")
    s.drive("close")
    check(s.wait_exit() == 0, "the first setup closes as usual")


def case_game_running(wine, disc):
    """The installed stand-in game runs while the setup installs into its
    folder again: before the copy the window asks to close it; Retry once it
    is closed installs."""
    print("== the game runs from the install folder")
    clean(wine)
    rc, _, _ = wine.run_exe(setup_exe, "/silent", "/nodesktop", "/nostartmenu", "/cd", win(disc), "/dir", DEFAULT_DIR)
    check(rc == 0, "the first install")
    game = wine.start_exe(os.path.join(c_path(wine, DEFAULT_DIR), "kelpmire.exe"))
    s = Setup(wine, setup_exe, "/cd", win(disc), "/dir", DEFAULT_DIR)
    s.dump()
    rc, _ = s.drive("boxowner", "The Kelpmire (stand-in)")
    check(rc == 0, "the game shows its box")
    rc, _ = s.drive("press", "104", "--", "boxowner", CAPTION)
    check(rc == 0, "Install brings a box")
    check(not any(l.startswith("Copying") for l in log_from_install(wine)), "asked before the copy")
    # Retry while the game still runs asks again.
    text = s.answer(button="Retry")
    want = (f"The Kelpmire is running from {DEFAULT_DIR}.  Close the game and click Retry, or click Cancel to stop "
            "the installation.")
    check(text == want, f"the running game's question (got {text!r})")
    rc, _ = s.drive("msgbox", "The Kelpmire (stand-in)", "OK", "20000")
    check(rc == 0 and game.wait(timeout=60) == 0, "the game closed")
    text = s.answer(button="Retry")
    check(text == want, f"asked again while it ran (got {text!r})")
    check(s.wait_status(INSTALLED), "Retry once it is closed installs")
    s.drive("close")
    check(s.wait_exit() == 0, "the setup closes as usual")


def case_scanner_holds_the_game(wine, disc):
    """A virus scanner holds the new game executable past the tries: the
    window asks about that file; Retry once the scanner has let go installs
    the game with its icon."""
    print("== a virus scanner holds the new game executable")
    clean(wine)
    scanner = wine.start_scanner(scanner_exe, DEFAULT_DIR, "forever", "kelpmire.new")
    try:
        s = Setup(wine, setup_exe, "/cd", win(disc), "/dir", DEFAULT_DIR)
        s.dump()
        s.drive("press", "104")
        # The box comes once the tries are over (some 15 s).
        deadline = time.time() + 120
        while True:
            rc, _ = s.drive("boxowner", CAPTION)
            if rc == 0 or s.proc.poll() is not None or time.time() > deadline:
                break
        check(rc == 0, "the held file brings a box")
    finally:
        end_process(scanner)
    text = s.answer(button="Retry")
    want = (f"Cannot write {DEFAULT_DIR}\\kelpmire.new: another program is using it.  Close that program and click "
            "Retry, or click Cancel to stop the installation.")
    check(text == want, f"the box names the held file (got {text!r})")
    rc, _ = s.drive("wait", INSTALLED, "120000", timeout=180)
    check(rc == 0, "Retry once the scanner has gone installs")
    log = log_from_install(wine)
    check(log[-1:] == ["Done."], f"the log ends with Done. ({log[-3:]!r})")
    check(f"write retried: {DEFAULT_DIR}\\kelpmire.new" in log and any(l.startswith("icon: ") for l in log) and
          not any("without its icon" in l for l in log), f"the icon written after the hold (got {log!r})")
    install_complete(wine, DEFAULT_DIR, disc)
    exe = os.path.join(c_path(wine, DEFAULT_DIR), "kelpmire.exe")
    listing = subprocess.run(["wrestool", "-l", exe], stdout=subprocess.PIPE, stderr=subprocess.STDOUT).stdout.decode()
    check("--type=14 --name=1" in listing, "the game has its icon")
    s.drive("close")
    check(s.wait_exit() == 0, "the setup closes as usual")


def set_dpi(wine, dpi):
    """The display scaling of the programs started from now on."""
    wine.run_exe("reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(dpi),
                 "/f", check_rc=0)


def check_layout(s, w, dpi, label):
    """The table at dpi, every text whole in its control's font (the message
    font at dpi), no two children overlapping, all inside the client area."""
    check(len(w.children) == len(TABLE), f"{label}: {len(TABLE)} children")
    for i, row in enumerate(TABLE[:len(w.children)]):
        want = tuple(px(v, dpi) for v in row[4:8])
        check(w.child(i)["rect"] == want, f"{label}: child {i + 1} at {want} (got {w.child(i)['rect']})")
    rects = [c["rect"] for c in w.children]
    for i, (x, y, cw, ch) in enumerate(rects):
        check(x >= 0 and y >= 0 and x + cw <= w.client[0] and y + ch <= w.client[1],
              f"{label}: child {i + 1} inside the client area {w.client}")
        for j in range(i + 1, len(rects)):
            x2, y2, cw2, ch2 = rects[j]
            check(x + cw <= x2 or x2 + cw2 <= x or y + ch <= y2 or y2 + ch2 <= y,
                  f"{label}: children {i + 1} and {j + 1} do not overlap")
    rc, out = s.drive("msgfont", str(dpi))
    font = out.strip().split("\t")
    m = s.measure()
    check(len(m) == len(TABLE), f"{label}: every child measured ({len(m)})")
    edge, border = px(2, dpi), px(4, dpi)
    box = px(13, dpi) + px(4, dpi)  # the check box's square and the gap after it
    for i, (r, row) in enumerate(zip(m, TABLE)):
        what = f"{label}: child {i + 1} ({(row[1] or row[0])[:24]})"
        check([str(r["lfheight"]), r["face"]] == font[1:3],
              f"{what} in the message font {font[1:3]} (got {r['lfheight']} {r['face']})")
        kind = row[2] & 0xF
        if row[0] == "Static":
            fits = r["tw"] <= r["cw"] and r["th"] <= r["ch"]
        elif row[0] == "Button" and kind == 3:
            fits = box + r["tw"] <= r["cw"] and r["th"] <= r["ch"]
        elif row[0] == "Button":
            fits = r["tw"] + 2 * border <= r["cw"] and r["th"] + 2 * edge <= r["ch"]
        elif row[0] in ("Edit", "ListBox"):
            fits = r["line"] <= r["ch"]
        else:
            fits = True
        check(fits, f"{what} not clipped (text {r['tw']}x{r['th']}, line {r['line']}, "
                     f"client {r['cw']}x{r['ch']})")


def case_scaling(wine, disc):
    """The window at each display scaling, and a change of DPI while it is open."""
    try:
        for dpi in DPIS:
            print(f"== the window at {dpi} DPI")
            set_dpi(wine, dpi)
            s = Setup(wine, setup_exe, "/cd", win(disc))
            w = s.dump()
            label = f"{dpi} DPI"
            check(w.client == (px(630, dpi), px(420, dpi)), f"{label}: client area {w.client}")
            check_layout(s, w, dpi, label)
            if dpi in (96, 192):
                screenshot(s, f"dpi{dpi}.png")
            if dpi == 96:
                rc, out = s.drive("dpichange", "192")
                f = out.strip().split("\t")
                check(rc == 0 and f[:2] == ["dpichange", "192"], f"WM_DPICHANGED sent ({out.strip()!r})")
                w = s.dump()
                if rc == 0:
                    check(w.frame == tuple(int(v) for v in f[2:6]),
                          f"the window takes the suggested rectangle {f[2:6]} (got {w.frame})")
                check_layout(s, w, 192, "96 DPI, then WM_DPICHANGED to 192")
            s.drive("press", "105")
            check(s.wait_exit() == 0, f"{label}: Close ends the setup with 0")
    finally:
        set_dpi(wine, 96)


def case_keyboard_at_rest(wine):
    """No disc found: the focus starts in the disc box; Tab, Shift+Tab, Space,
    Enter and Escape while nothing is installing."""
    print("== the keyboard, at rest")
    clean(wine)
    s = Setup(wine, setup_exe)
    s.dump()
    check(s.focus() == [2], "no disc: the focus starts in the disc box")
    n = len(TAB_ORDER)
    seen = s.focus(["tab"] * n, start=2)
    want = TAB_ORDER[1:] + TAB_ORDER[:1]
    check(seen == want, f"Tab visits the tab stops in order and wraps around (got {seen}, want {want})")
    seen = s.focus(["shift+tab"] * 2, start=2)
    check(seen == [TAB_ORDER[-1], TAB_ORDER[-2]], f"Shift+Tab goes back, wrapping around (got {seen})")
    # Back to the Start-menu box, then Space.
    seen = s.focus(["shift+tab"] * 3, start=TAB_ORDER[-2])
    check(seen[-1] == 8, f"Shift+Tab reaches the Start-menu box (got {seen})")
    rc, _ = s.drive("key", "space", "--", "waitcheck", "0", "0")
    w = s.dump()
    check(rc == 0 and not w.child(8)["checked"] and w.child(9)["checked"], "Space unchecks the focused box only")
    text = s.answer("key", "enter", button="OK")
    check(text == "Please choose the CD and the install folder.", f"Enter with an empty disc box: the warning ({text!r})")
    check(s.focus() == [8], "the focus is back where it was after the box")
    s.drive("key", "escape")
    check(s.wait_exit() == 0, "Escape at rest closes the window with 0")
    check(not any(l.startswith("Install to") for l in wine.log_lines() or []), "nothing was installed")


def case_keyboard_install_and_play_fails(wine, disc):
    """A disc found: the focus starts on Install; Enter installs; Play that
    cannot start the game says so and leaves the window open."""
    print("== the keyboard: Enter installs; Play fails")
    clean(wine)
    s = Setup(wine, setup_exe, "/cd", win(disc))
    s.dump()
    check(s.focus() == [13], "a disc found: the focus starts on Install")
    s.drive("key", "enter")
    check(s.wait_status(INSTALLED), "Enter starts the install, which succeeds")
    install_complete(wine, DEFAULT_DIR, disc)
    os.remove(c_path(wine, DEFAULT_DIR + r"\kelpmire.exe"))
    text = s.answer("key", "enter", button="OK")
    check(text is not None and text.startswith("The Kelpmire could not be started (error ") and text.endswith(")."),
          f"Play without the game: the failure box ({text!r})")
    w = s.dump()
    check(s.proc.poll() is None and w.child(13)["text"] == "Play" and w.child(13)["enabled"],
          "the window stays open, Play still offered")
    check(w.lines[-1].startswith("ERROR: cannot start ") and w.status == w.lines[-1],
          f"the failure is the last line of the list and the status ({w.status!r})")
    s.drive("press", "105")
    check(s.wait_exit() == 0, "Close then ends the setup with 0")


def case_keyboard_escape_installing(wine, bigdisc):
    """Escape during an install asks to stop it. The install copies the large
    disc and is held at the hard-disk files, so it cannot end before the test
    lets it."""
    print("== the keyboard: Escape during an install")
    clean(wine)
    hold_at_hd_files(wine, r"C:\Long")
    s = Setup(wine, setup_exe, "/cd", win(bigdisc), "/dir", r"C:\Long")
    s.dump()
    check(s.focus() == [13], "the focus starts on Install")
    # Enter and Escape typed while the setup is stopped: the window reads
    # Escape right after the Enter that starts the long copy.
    with s.stopped():
        rc, _ = s.drive("key", "enter", "--", "key", "escape")
    text = s.answer(button="No", text=STOP)
    check(text == STOP, f"Escape during the install asks to stop it ({text!r})")
    w = s.dump()
    check(s.proc.poll() is None and not w.child(13)["enabled"], "No: the install goes on")
    check(s.focus() == [14], "Install greyed: the focus is on Cancel")
    text = s.answer("key", "escape", button="Yes", text=STOP)
    check(text == STOP, "Escape asks again")
    check(s.wait_exit() == 1, "Yes ends the process with 1")


def make_big_disc(disc, big):
    """The sample disc with many small files added: long enough to stop."""
    if os.path.isdir(big):
        return
    tmp = big + ".tmp"
    shutil.rmtree(tmp, ignore_errors=True)
    shutil.copytree(disc, tmp)
    block = bytes(range(256)) * 8
    for i in range(200):
        d = os.path.join(tmp, "LOTS", "D%03d" % i)
        os.makedirs(d)
        for j in range(200):
            with open(os.path.join(d, "F%03d.DAT" % j), "wb") as f:
                f.write(block)
    os.rename(tmp, big)


def main():
    os.makedirs(work, exist_ok=True)
    xvfb = start_display()
    disc = os.path.join(work, "disc")
    shutil.rmtree(disc, ignore_errors=True)
    images = fresh_dir(os.path.join(work, "images"))
    make_sample_disc(disc, images)
    notdisc = fresh_dir(os.path.join(work, "notdisc"))
    with open(os.path.join(notdisc, "README.TXT"), "w") as f:
        f.write("not the game\n")
    bigdisc = os.path.join(work, "bigdisc")
    make_big_disc(disc, bigdisc)

    wine = Wine(os.path.join(work, "prefix"))
    # One wineserver for the whole script: each driver run would otherwise
    # start the prefix's services again.
    wine.start_server()
    # No window manager runs on the test display: let Wine draw the caption
    # itself, so that the screenshots show the whole window.
    wine.run_exe("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Decorated", "/t", "REG_SZ", "/d", "N",
                 "/f", check_rc=0)
    # The prefix is kept between runs, and a run ended by its time-out cleans
    # nothing up: start from the normal scaling and no install.
    set_dpi(wine, 96)
    clean(wine)
    cases = [
        ("ready", lambda: case_ready_and_image(wine, disc, os.path.join(images, "game.iso"))),
        ("fail_then_play", lambda: case_fail_then_play(wine, disc, notdisc)),
        ("empty_box", lambda: case_empty_box(wine, disc)),
        ("stop", lambda: case_stop(wine, disc)),
        ("finish_during_question", lambda: case_finish_during_question(wine, disc)),
        ("stop_during_copy", lambda: case_stop_during_copy(wine, bigdisc)),
        ("second_setup", lambda: case_second_setup(wine, disc)),
        ("game_running", lambda: case_game_running(wine, disc)),
        ("scanner", lambda: case_scanner_holds_the_game(wine, disc)),
        ("keyboard_at_rest", lambda: case_keyboard_at_rest(wine)),
        ("keyboard_install", lambda: case_keyboard_install_and_play_fails(wine, disc)),
        ("keyboard_escape", lambda: case_keyboard_escape_installing(wine, bigdisc)),
        ("scaling", lambda: case_scaling(wine, disc)),
    ]
    # WINDOW_CASES=name,name runs only those, for work on one of them.
    only = [c for c in os.environ.get("WINDOW_CASES", "").split(",") if c]
    unknown = sorted(set(only) - {name for name, _ in cases})
    check(not unknown, f"WINDOW_CASES names known cases (unknown: {', '.join(unknown)})")
    ran = 0
    try:
        for name, run in cases:
            if not unknown and (not only or name in only):
                run()
                ran += 1
    except AssertionError as e:
        check(False, str(e))
    finally:
        clean(wine)
        subprocess.run(["wineserver", "-k"], env=wine.env)
        if xvfb:
            xvfb.terminate()
    if not unknown:
        check(ran > 0, "at least one case ran")
    print(f"{len(failures)} failed" if failures else "all passed")
    sys.exit(1 if failures else 0)


main()
