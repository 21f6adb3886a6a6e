#!/usr/bin/env python3
"""The setup window under Wine, driven by uidriver.exe and photographed.

usage: test_window.py SOURCE_DIR BUILD_DIR SETUP_EXE UIDRIVER_EXE

Runs in a Wine prefix of its own (BUILD_DIR/e2e/window/prefix) on the display in
DISPLAY, or on an Xvfb display of its own when none is set. Each case starts
the real setup, reads the window through the driver and checks what the
install left on disk. The screenshots ready.png and installed.png are left in
BUILD_DIR/e2e/window for people to look at.

The installs to be stopped copy a disc of 40,000 small files (made once and
kept in the work folder) while the setup is let run a tenth of the time, so
that they last long enough for the questions and answers.
"""
import os
import shutil
import subprocess
import signal
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kelpwine import WINE_RUN, Wine, fresh_dir, make_sample_disc, tree_files, win  # noqa: E402

src_dir, build_dir, setup_exe, uidriver_exe = sys.argv[1:5]
work = os.path.join(os.path.abspath(build_dir), "e2e", "window")
failures = []

CAPTION = "The Kelpmire setup"
DEFAULT_DIR = r"C:\Games\The Kelpmire PC"
READY = "Ready. About 500 MB of free space is needed."
INSTALLED = "The Kelpmire is installed."
FAILED = "The installation did not finish - see the messages above."
INTRO = ("Install The Kelpmire as a native Windows game. You need your copy of The Kelpmire: "
         "the CD, an ISO / BIN+CUE image, or a copied folder.")  # the driver prints line ends as blanks

# class, text (None: the box's value), style, id, x, y, w, h; every child also
# has WS_CHILD | WS_VISIBLE.
TABLE = [
    ("Static", INTRO, 0x0, 0, 16, 14, 600, 36),
    ("Static", "CD:", 0x0, 0, 16, 66, 90, 20),
    ("Edit", None, 0x80, 0, 110, 62, 360, 24),
    ("Button", "Image...", 0x0, 101, 478, 62, 66, 24),
    ("Button", "Folder...", 0x0, 102, 548, 62, 66, 24),
    ("Static", "Install to:", 0x0, 0, 16, 98, 90, 20),
    ("Edit", None, 0x80, 0, 110, 94, 360, 24),
    ("Button", "Browse...", 0x0, 103, 478, 94, 136, 24),
    ("Button", "Start menu shortcut", 0x3, 0, 16, 134, 200, 22),
    ("Button", "Desktop shortcut", 0x3, 0, 230, 134, 200, 22),
    ("msctls_progress32", "", 0x0, 0, 16, 168, 598, 18),
    ("Static", READY, 0x0, 0, 16, 192, 598, 20),
    ("ListBox", "", 0xA00100, 0, 16, 216, 598, 110),
    ("Button", "Install", 0x1, 104, 418, 336, 96, 30),
    ("Button", "Cancel", 0x0, 105, 518, 336, 96, 30),
]
WS_CHILD_VISIBLE = 0x50000000
WS_VSCROLL = 0x200000
WS_EX_CLIENTEDGE = 0x200



def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what, flush=True)
    if not cond:
        failures.append(what)
    return cond


def start_display():
    """An Xvfb display of our own when none is set; returns its process."""
    if os.environ.get("DISPLAY"):
        return None
    for n in range(90, 121):
        if os.path.exists(f"/tmp/.X{n}-lock"):
            continue
        x = subprocess.Popen(["Xvfb", f":{n}", "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
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

    def answer(self, *press, button):
        """Does the press (driver arguments), then answers the setup's message
        box with button; returns its text, or None when none came up."""
        rc, out = self.drive(*press, "--", "msgbox", CAPTION, button, "20000")
        return out.strip() if rc == 0 else None

    def wait_exit(self, timeout=60):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return None


class Throttle(threading.Thread):
    """Lets a process run a tenth of the time, as on a slow computer, so that an
    install lasts long enough to be stopped; the program itself is unchanged."""

    def __init__(self, proc):
        super().__init__(daemon=True)
        self.proc = proc
        self.done = threading.Event()
        self.start()

    def run(self):
        while not self.done.is_set() and self.proc.poll() is None:
            try:
                os.kill(self.proc.pid, signal.SIGSTOP)
                time.sleep(0.09)
                os.kill(self.proc.pid, signal.SIGCONT)
                time.sleep(0.01)
            except ProcessLookupError:
                return

    def stop(self):
        self.done.set()
        self.join()
        try:
            os.kill(self.proc.pid, signal.SIGCONT)
        except ProcessLookupError:
            pass


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
    assert windows_dir[:3].upper() == "C:\\"
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
    # A second attempt with the same box fails the same way; the list keeps both.
    rc, out = s.drive("start")
    check("status\tInstalling...\n" in out, "Install again after the failure")
    check(s.wait_status(FAILED), "the failure text again")
    w = s.dump()
    check(w.lines[len(w.lines) // 2:] == w.lines[:len(w.lines) // 2], "the list holds both attempts")
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


def case_stop(wine, bigdisc):
    print("== stopping a long install")
    clean(wine)
    s = Setup(wine, setup_exe, "/cd", win(bigdisc), "/dir", r"C:\Long")
    s.dump()
    slow = Throttle(s.proc)
    try:
        rc, out = s.drive("start")
        check("status\tInstalling...\n" in out, "installing")
        text = s.answer("press", "105", button="No")
        check(text == "Stop the installation?", f"Cancel asks (got {text!r})")
        w1 = s.dump()
        # The bar moves once the total is known and the copy runs; give it time.
        deadline = time.time() + 30
        while True:
            time.sleep(0.5)
            w2 = s.dump()
            if w2.progress > w1.progress or time.time() > deadline:
                break
        check(s.proc.poll() is None and not w2.child(13)["enabled"] and w2.child(14)["text"] == "Cancel",
              "No: the install goes on")
        check(w1.progress < w2.progress < 1000, f"the bar rises ({w1.progress}, then {w2.progress})")
        text = s.answer("close", button="No")
        check(text == "Stop the installation?", f"the close box asks the same (got {text!r})")
        w3 = s.dump()
        check(s.proc.poll() is None and w3.progress < 1000, f"No again: still running, at {w3.progress} of 1000")
        text = s.answer("press", "105", button="Yes")
        check(text == "Stop the installation?", "Cancel asks again")
        rc = s.wait_exit()
    finally:
        slow.stop()
    check(rc == 1, f"Yes ends the process with 1 (got {rc})")
    check(not os.path.exists(c_path(wine, r"C:\Long\kelpmire.exe")), "the install was stopped before its end")


def case_finish_during_question(wine, bigdisc):
    """The install ends while "Stop the installation?" is open: Yes then closes
    the window normally."""
    print("== the install ends while the question is open")
    clean(wine)
    s = Setup(wine, setup_exe, "/cd", win(bigdisc), "/dir", r"C:\Long")
    s.dump()
    rc, out = s.drive("start", "--", "press", "105")
    check(rc == 0 and "status\tInstalling...\n" in out, "installing, Cancel pressed")
    # The question's own message loop keeps handling the install's messages.
    rc, out = s.drive("wait", INSTALLED, "180000", "--", "msgbox", CAPTION, "Yes", "5000", timeout=200)
    check(rc == 0 and out.strip() == "Stop the installation?", f"installed while the question was open ({out!r})")
    check(s.wait_exit() == 0, "Yes after the end closes the setup with 0")
    check(os.path.exists(c_path(wine, r"C:\Long\kelpmire.exe")), "the install is complete")


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
    # start the prefix's services again. They start here with no pipes of ours.
    subprocess.run(["wineserver", "-p"], env=wine.env)
    subprocess.run([WINE_RUN, wine.prefix, "cmd", "/c", "exit"], env=wine.env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    # No window manager runs on the test display: let Wine draw the caption
    # itself, so that the screenshots show the whole window.
    wine.run_exe("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Decorated", "/t", "REG_SZ", "/d", "N",
                 "/f", check_rc=0)
    try:
        case_ready_and_image(wine, disc, os.path.join(images, "game.iso"))
        case_fail_then_play(wine, disc, notdisc)
        case_empty_box(wine, disc)
        case_stop(wine, bigdisc)
        case_finish_during_question(wine, bigdisc)
    except AssertionError as e:
        check(False, str(e))
    finally:
        clean(wine)
        subprocess.run(["wineserver", "-k"], env=wine.env)
        if xvfb:
            xvfb.terminate()
    print(f"{len(failures)} failed" if failures else "all passed")
    sys.exit(1 if failures else 0)


main()
