#!/usr/bin/env python3
"""The setup's help: "/?", "-?", "/h" or "/help" as the first argument shows the
command line in a box captioned "The Kelpmire setup" and ends the run with exit
code 0, before the log is opened; README.md's "Using the setup" quotes the box.

usage: test_help.py SOURCE_DIR BUILD_DIR

With the Windows build (BUILD_DIR holds kelpmire_setup.exe) the real setup runs
under Wine and uidriver reads and answers the box. The Linux build has no boxes:
it writes each as one "caption: text" record to standard error, which is checked
against the README byte for byte.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kelpwine import Wine, fresh_dir  # noqa: E402

SRC, BUILD = (os.path.abspath(a) for a in sys.argv[1:3])
del sys.argv[1:3]
WORK = os.path.join(BUILD, "e2e", "help")
ON_WINE = os.path.exists(os.path.join(BUILD, "kelpmire_setup.exe"))
SETUP = os.path.join(BUILD, "kelpmire_setup.exe" if ON_WINE else "kelpmire_setup")
UIDRIVER = os.path.join(BUILD, "uidriver.exe")
CAPTION = "The Kelpmire setup"
SPELLINGS = ("/?", "-?", "/h", "/H", "/help", "/Help")
OPTIONS = ("/silent", "/cd SOURCE", "/dir FOLDER", "/nodesktop", "/nostartmenu", "/uninstall", "/quiet")
NO_DISC = "ERROR: no game disc found: insert the CD, or name the disc, an image or a folder with /cd"

wine = None


def setUpModule():
    global wine
    fresh_dir(WORK)
    if ON_WINE:
        wine = Wine(os.path.join(WORK, "prefix"), template=os.path.join(BUILD, "e2e", "prefix.template"))


def readme_help():
    """The text of the first code block of README.md's "Using the setup"."""
    with open(os.path.join(SRC, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    section = readme.index("\n## Using the setup\n")
    start = readme.index("\n```\n", section) + len("\n```\n")
    end = readme.index("\n```\n", start)
    return readme[start:end]


def words(text):
    return " ".join(text.split())


def setup_copy():
    """The setup alone in a fresh folder: no disc image lies beside it."""
    folder = fresh_dir(os.path.join(WORK, "alone"))
    copy = os.path.join(folder, os.path.basename(SETUP))
    shutil.copy(SETUP, copy)
    return copy


@unittest.skipIf(ON_WINE, "the Linux build of the setup")
class HelpOnLinux(unittest.TestCase):
    def run_setup(self, *args, exe=SETUP, payload=False):
        """Runs the setup with a temporary folder of its own; returns (exit code,
        standard error, the temporary folder's names, the log's lines or None)."""
        with tempfile.TemporaryDirectory() as tmp, tempfile.TemporaryDirectory() as lent:
            env = dict(os.environ, TMPDIR=tmp, KELP_RCDATA_DIR="")
            if payload:
                with open(os.path.join(lent, "GAMEEXE"), "wb") as f:
                    f.write(b"MZ stand-in")
                env["KELP_RCDATA_DIR"] = lent
            p = subprocess.run([exe, *args], env=env, cwd=tmp, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            names = sorted(os.listdir(tmp))
            log = None
            if "kelpmire_setup.log" in names:
                with open(os.path.join(tmp, "kelpmire_setup.log"), encoding="utf-8") as f:
                    log = f.read().splitlines()
        self.assertEqual(p.stdout, b"")
        return p.returncode, p.stderr.decode("utf-8"), names, log

    def test_every_spelling_shows_the_readme_text_and_writes_nothing(self):
        for arg in SPELLINGS:
            with self.subTest(arg=arg):
                rc, err, names, _ = self.run_setup(arg, "/silent")
                self.assertEqual(rc, 0)
                self.assertEqual(err, f"{CAPTION}: {readme_help()}\n")
                self.assertEqual(names, [], "no log, nothing else")

    def test_help_later_on_the_line_is_no_help(self):
        # "/silent" first: a silent run, here one without any disc, into a
        # full path of this system (never written: the missing disc ends it).
        target = os.path.join(WORK, "never_written")
        rc, err, _, log = self.run_setup("/silent", "/?", "/dir", target, exe=setup_copy(), payload=True)
        self.assertEqual(rc, 1)
        self.assertNotIn(CAPTION, err)
        self.assertEqual(log, [
            "setup started",
            "defaults: cd '' dir 'C:\\Games\\The Kelpmire PC'",
            "Install to " + target,
            NO_DISC,
        ])
        self.assertFalse(os.path.exists(target))

    def test_an_uninstall_stage_comes_before_the_help(self):
        rc, err, _, log = self.run_setup("/?", "/uninstall", exe=setup_copy())
        # The Linux build cannot start stage 2: stage 1 says so and ends with 1.
        self.assertEqual(rc, 1)
        self.assertTrue(err.startswith("The Kelpmire uninstall: "), err)
        self.assertIn("The uninstall could not be started (error ", err)
        self.assertNotIn("/silent: install without the window.", err, "no help")
        self.assertIsNone(log)


@unittest.skipUnless(ON_WINE, "the Windows build of the setup, under Wine")
class HelpBoxOnWine(unittest.TestCase):
    def setUp(self):
        wine.wait_idle()
        log = os.path.join(wine.temp_dir(), "kelpmire_setup.log")
        if os.path.exists(log):
            os.remove(log)

    def answer(self, caption, button):
        rc, text, err = wine.run_exe(UIDRIVER, "msgbox", caption, button, "60000")
        self.assertEqual(rc, 0, err)
        return text.strip()

    def test_box_names_every_option_and_ends_with_0(self):
        for arg in ("/?", "-?", "/H", "/Help"):
            with self.subTest(arg=arg):
                setup = wine.start_exe(SETUP, arg)
                text = self.answer(CAPTION, "OK")
                self.assertEqual(setup.wait(timeout=60), 0)
                for option in OPTIONS:
                    self.assertIn(option, text)
                # The box shows the lines one after another; uidriver joins them.
                self.assertEqual(words(text), words(readme_help()))
                self.assertIsNone(wine.log_lines(), "asking for help writes no log")

    def test_an_uninstall_stage_comes_before_the_help(self):
        # A copy alone in its folder: stage 1 would start stage 2 on its folder.
        setup = wine.start_exe(setup_copy(), "/?", "/uninstall")
        text = self.answer("The Kelpmire uninstall", "No")
        self.assertEqual(text, "Remove The Kelpmire (Quorvane) and its saved games?")
        self.assertEqual(setup.wait(timeout=60), 0)
        self.assertIsNone(wine.log_lines())


if __name__ == "__main__":
    unittest.main(verbosity=2)
