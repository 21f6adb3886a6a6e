#!/usr/bin/env python3
"""End-to-end tests of the two-stage uninstall under Wine.

usage: test_uninstall.py SOURCE_DIR BUILD_DIR

Installs the sample disc silently with the real setup, puts a file of the
user's into the install folder, then runs the installed uninstall.exe as
Windows would and checks what is left once every Wine process has ended.
Then the folders players really have: an install at a drive root, a folder
typed with slashes or doubled backslashes, a "game" folder that is a link,
links to files kept elsewhere, the game or a data file held open, the setup
run from a downloads folder, and stage 1 started with the install folder as
its current folder.
"""
import os
import re
import shutil
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kelpwine import Wine, end_process, fresh_dir, lnkinfo, make_sample_disc, tree_files, win  # noqa: E402

SRC, BUILD = (os.path.abspath(a) for a in sys.argv[1:3])
del sys.argv[1:3]
WORK = os.path.join(BUILD, "e2e", "uninstall")
SETUP = os.path.join(BUILD, "kelpmire_setup.exe")
UIDRIVER = os.path.join(BUILD, "uidriver.exe")
LOCKFILE = os.path.join(BUILD, "lockfile.exe")
SCANNER = os.path.join(BUILD, "scanner.exe")
WIN_DIR = "C:\\Games\\The Kelpmire PC"
INSTALLED = ["kelpmire.exe", "uninstall.exe", "kelpmire.ini", "kelpmire_registry.txt", "kelpmire.log",
             "kelpmire_setup.log"]
CAPTION = "The Kelpmire uninstall"

wine = None
disc = None


def setUpModule():
    global wine, disc
    fresh_dir(WORK)
    disc = os.path.join(WORK, "disc")
    make_sample_disc(disc)
    wine = Wine(os.path.join(WORK, "prefix"), template=os.path.join(BUILD, "e2e", "prefix.template"))


class Uninstall(unittest.TestCase):
    def tearDown(self):
        # A program that a failed case left running (a stage waiting in its
        # box) would hold the folder and the next case's setup.
        wine.end_programs()

    def setUp(self):
        # Every case waits for what it started; the server may still linger,
        # and the install reuses it.
        self.dir = wine.drive_c("Games", "The Kelpmire PC")
        shutil.rmtree(self.dir, ignore_errors=True)
        temp_copy = os.path.join(wine.temp_dir(), "kelpmire_uninstall.exe")
        if os.path.exists(temp_copy):
            os.remove(temp_copy)
        wine.clear_log()
        rc, _, _ = wine.run_exe(SETUP, "/silent", "/cd", win(disc), "/dir", WIN_DIR)
        self.assertEqual(rc, 0)
        # What the game itself may leave, and a file of the user's.
        for name in ("kelpmire.ini", "kelpmire_registry.txt", "kelpmire.log", "kelpmire_setup.log"):
            with open(os.path.join(self.dir, name), "w") as f:
                f.write("the game's")
        with open(os.path.join(self.dir, "my notes.txt"), "w") as f:
            f.write("mine")
        self.log = wine.log_lines()
        self.assertEqual(self.log[-1:], ["Done."])
        self.assertIsNotNone(wine.reg_query())

    def uninstall(self, *args, restart=True):
        """Runs stage 1 and waits for stage 2, which runs on after it; with
        restart, until Wine's server has gone too, so that the next program
        starts the prefix again (assert_removed needs that)."""
        rc, _, _ = wine.run_exe(os.path.join(self.dir, "uninstall.exe"), *args)
        self.assertEqual(rc, 0)
        if restart:
            wine.wait_idle()
        else:
            wine.wait_programs()

    def assert_removed(self):
        # The temporary copy stays until the next restart; for Wine, a restart
        # is the next start of its server, which any further program brings.
        temp_copy = os.path.join(wine.temp_dir(), "kelpmire_uninstall.exe")
        self.assertTrue(os.path.exists(temp_copy))
        self.assertFalse(os.path.exists(os.path.join(self.dir, "game")))
        for name in INSTALLED:
            self.assertFalse(os.path.exists(os.path.join(self.dir, name)), name)
        for lnk in wine.shortcut_files():
            self.assertFalse(os.path.exists(lnk), lnk)
        with open(os.path.join(self.dir, "my notes.txt")) as f:
            self.assertEqual(f.read(), "mine")
        self.assertEqual(wine.log_lines(), self.log, "the uninstall never touches the setup log")
        self.assertIsNone(wine.reg_query())
        self.assertFalse(os.path.exists(temp_copy), "deleted at the restart, as scheduled")

    def assert_untouched(self):
        for name in INSTALLED:
            self.assertTrue(os.path.exists(os.path.join(self.dir, name)), name)
        self.assertTrue(os.path.exists(os.path.join(self.dir, "game", "cd", "DATA", "A.QAR")))
        for lnk in wine.shortcut_files():
            self.assertTrue(os.path.exists(lnk), lnk)
        self.assertIsNotNone(wine.reg_query())

    def uninstall_answering(self, exe=None, idle=True, restart=True):
        """Runs stage 1 as a user would, answers Yes, and returns the text of
        stage 2's closing box; with idle, once every process has ended (not
        while a test's own program holds a file: stage 2 then ends when that
        is released), and with restart, once Wine's server has gone too."""
        stage1 = wine.start_exe(exe or os.path.join(self.dir, "uninstall.exe"), "/uninstall")
        rc, _, err = wine.run_exe(UIDRIVER, "msgbox", CAPTION, "Yes", "60000")
        self.assertEqual(rc, 0, err)
        self.assertEqual(stage1.wait(timeout=60), 0)
        rc, text, err = wine.run_exe(UIDRIVER, "msgbox", CAPTION, "OK", "60000")
        self.assertEqual(rc, 0, err)
        if idle and restart:
            wine.wait_idle()
        elif idle:
            wine.wait_programs()
        return text.strip()

    def test_quiet_uninstall_in_any_spelling_and_order(self):
        for args in (["/uninstall", "/quiet"], ["/UNINSTALL", "/quiet"], ["/quiet", "/uninstall"]):
            with self.subTest(args=args):
                if args != ["/uninstall", "/quiet"]:
                    self.setUp()
                self.uninstall(*args)
                self.assert_removed()
                self.assertEqual(os.listdir(self.dir), ["my notes.txt"])

    def test_folder_goes_when_nothing_else_is_in_it(self):
        os.remove(os.path.join(self.dir, "my notes.txt"))
        self.uninstall("/uninstall", "/quiet", restart=False)
        self.assertFalse(os.path.exists(self.dir))

    def test_answer_no_changes_nothing(self):
        stage1 = wine.start_exe(os.path.join(self.dir, "uninstall.exe"), "/uninstall")
        rc, text, err = wine.run_exe(UIDRIVER, "msgbox", CAPTION, "No", "60000")
        self.assertEqual(rc, 0, err)
        self.assertEqual(text.strip(), "Remove The Kelpmire (Quorvane) and its saved games?")
        self.assertEqual(stage1.wait(timeout=60), 0)
        self.assert_untouched()
        self.assertFalse(os.path.exists(os.path.join(wine.temp_dir(), "kelpmire_uninstall.exe")))

    def test_answer_yes_removes_and_says_so(self):
        self.assertEqual(self.uninstall_answering(), "The Kelpmire has been removed.")
        self.assert_removed()

    def test_stage_two_with_an_empty_or_relative_folder_removes_nothing(self):
        # Stage 2 schedules its own file for deletion at the next start of
        # Wine: run a copy, never the build's setup. It works in the temporary
        # folder (C:\users\NAME\Temp under Wine), from where each of these
        # relative names reaches the install.
        copy = os.path.join(fresh_dir(os.path.join(WORK, "stage2")), "kelpmire_setup.exe")
        shutil.copy(SETUP, copy)
        up = "..\\" * len(os.path.relpath(wine.temp_dir(), wine.drive_c()).split(os.sep))
        self.assertEqual(os.path.normpath(os.path.join(wine.temp_dir(), *up.split("\\"))), wine.drive_c())
        for folder in ("", up + "Games\\The Kelpmire PC", "\\Games\\The Kelpmire PC",
                       "C:" + up + "Games\\The Kelpmire PC", up + "Games\\The Kelpmire PC\\."):
            with self.subTest(folder=folder):
                rc, _, _ = wine.run_exe(copy, "/uninstall2", folder, "/quiet")
                self.assertEqual(rc, 0)
                self.assert_untouched()
                with open(os.path.join(self.dir, "my notes.txt")) as f:
                    self.assertEqual(f.read(), "mine")

    def test_install_at_the_root_of_a_drive(self):
        root = fresh_dir(os.path.join(WORK, "drive_root"))
        with open(os.path.join(root, "my notes.txt"), "w") as f:
            f.write("mine")
        wine.map_drive("m", root)
        try:
            wine.clear_log()
            rc, _, _ = wine.run_exe(SETUP, "/silent", "/cd", win(disc), "/dir", "M:\\")
            self.assertEqual(rc, 0)
            reg = wine.reg_query()
            self.assertEqual(reg["UninstallString"], ("REG_SZ", '"M:\\uninstall.exe" /uninstall'))
            self.assertEqual(reg["DisplayIcon"], ("REG_SZ", "M:\\kelpmire.exe,0"))
            self.assertEqual(reg["InstallLocation"], ("REG_SZ", "M:\\"))
            for lnk in wine.shortcut_files():
                fields = lnkinfo(lnk)
                self.assertEqual(fields.get("Local path"), "M:\\kelpmire.exe", lnk)
                self.assertEqual(fields.get("Working directory"), "M:\\", lnk)
            # As Windows starts it from the registered UninstallString.
            rc, _, _ = wine.run_exe("M:\\uninstall.exe", "/uninstall", "/quiet")
            self.assertEqual(rc, 0)
            wine.wait_idle()
            self.assertEqual(os.listdir(root), ["my notes.txt"])
            self.assertIsNone(wine.reg_query())
            for lnk in wine.shortcut_files():
                self.assertFalse(os.path.exists(lnk), lnk)
        finally:
            wine.remove_drive("m")

    def test_folder_typed_with_slashes_or_doubled_backslashes_leaves_no_entry(self):
        # As people type it, and as scripts double it: the entry holds the
        # folder's full path, and the uninstall Windows starts from it
        # removes the entry with the rest.
        for typed, full in (("C:/Games/Fwd", "C:\\Games\\Fwd"),
                            ("C:\\\\Games\\\\Dbl", "C:\\Games\\Dbl")):
            with self.subTest(dir=typed):
                folder = wine.drive_c("Games", full.rsplit("\\", 1)[1])
                shutil.rmtree(folder, ignore_errors=True)
                wine.clear_log()
                rc, _, _ = wine.run_exe(SETUP, "/silent", "/cd", win(disc), "/dir", typed)
                self.assertEqual(rc, 0)
                reg = wine.reg_query()
                self.assertEqual(reg["InstallLocation"], ("REG_SZ", full))
                self.assertEqual(reg["UninstallString"], ("REG_SZ", f'"{full}\\uninstall.exe" /uninstall'))
                self.assertEqual(reg["DisplayIcon"], ("REG_SZ", f"{full}\\kelpmire.exe,0"))
                for lnk in wine.shortcut_files():
                    self.assertEqual(lnkinfo(lnk).get("Working directory"), full, lnk)
                rc, _, _ = wine.run_exe(full + "\\uninstall.exe", "/uninstall", "/quiet")
                self.assertEqual(rc, 0)
                wine.wait_idle()
                self.assertFalse(os.path.exists(folder))
                self.assertIsNone(wine.reg_query())
                for lnk in wine.shortcut_files():
                    self.assertFalse(os.path.exists(lnk), lnk)

    def test_game_folder_that_is_a_link_keeps_what_it_points_to(self):
        # The data moved to a bigger drive, "game" left as a link to them.
        data = os.path.join(fresh_dir(os.path.join(WORK, "bigger_drive")), "game")
        game = os.path.join(self.dir, "game")
        shutil.move(game, data)
        os.symlink(data, game)
        before = tree_files(data)
        self.assertEqual(self.uninstall_answering(), "The Kelpmire has been removed.")
        self.assertEqual(tree_files(data), before, "what the link points to is untouched")
        self.assertFalse(os.path.lexists(game), "the link itself goes")
        self.assert_removed()

    def test_links_to_files_go_without_what_they_point_to(self):
        # Files kept elsewhere and linked in: a saved game below "game", the
        # game's settings beside kelpmire.exe. Wine shows such a link as the
        # file and would delete the file it points to.
        kept = fresh_dir(os.path.join(WORK, "kept"))
        links = {os.path.join(self.dir, "game", "hd", "SAVE01.SAV"): os.path.join(kept, "SAVE01.SAV"),
                 os.path.join(self.dir, "kelpmire.ini"): os.path.join(kept, "kelpmire.ini")}
        for link, target in links.items():
            with open(target, "w") as f:
                f.write("the player's")
            if os.path.exists(link):
                os.remove(link)
            os.symlink(target, link)
        self.uninstall("/uninstall", "/quiet")
        for link, target in links.items():
            self.assertFalse(os.path.lexists(link), link)
            with open(target) as f:
                self.assertEqual(f.read(), "the player's", target)
        self.assert_removed()

    def test_another_folders_entry_and_shortcuts_stay(self):
        # Installed into A (setUp), then into B: the entry and the shortcuts
        # are B's, and removing A leaves them working.
        b_win = "C:\\Games\\Kelpmire B"
        b = wine.drive_c("Games", "Kelpmire B")
        shutil.rmtree(b, ignore_errors=True)
        rc, _, _ = wine.run_exe(SETUP, "/silent", "/cd", win(disc), "/dir", b_win)
        self.assertEqual(rc, 0)
        try:
            self.uninstall("/uninstall", "/quiet")
            self.assertFalse(os.path.exists(os.path.join(self.dir, "kelpmire.exe")))
            self.assertFalse(os.path.exists(os.path.join(self.dir, "game")))
            self.assertEqual(wine.reg_query()["InstallLocation"], ("REG_SZ", b_win))
            for lnk in wine.shortcut_files():
                self.assertEqual(lnkinfo(lnk).get("Local path"), b_win + "\\kelpmire.exe", lnk)
            self.assertTrue(os.path.exists(os.path.join(b, "kelpmire.exe")))
        finally:
            wine.run_exe(os.path.join(b, "uninstall.exe"), "/uninstall", "/quiet")
            wine.wait_idle()
        self.assertFalse(os.path.exists(b))
        self.assertIsNone(wine.reg_query())

    def test_read_only_game_and_uninstaller_are_removed(self):
        for name in ("kelpmire.exe", "uninstall.exe"):
            os.chmod(os.path.join(self.dir, name), 0o444)  # Wine's read-only attribute
        self.assertEqual(self.uninstall_answering(), "The Kelpmire has been removed.")
        self.assert_removed()

    def test_stage_two_waits_for_stage_one(self):
        # Stage 1 still running from uninstall.exe for 3 seconds: a program
        # that holds it open stands in for it, and stage 2 is started as stage
        # 1 starts it, with that program's process id.
        uninst = os.path.join(self.dir, "uninstall.exe")
        holder = wine.hold_file(LOCKFILE, uninst)
        try:
            pid = holder.stdout.readline().decode().strip()
            temp_copy = os.path.join(wine.temp_dir(), "kelpmire_uninstall.exe")
            shutil.copy(SETUP, temp_copy)
            stage2 = wine.start_exe(temp_copy, "/uninstall2", WIN_DIR, "/pid", pid, "/quiet")
            # Once stage 2 is seen running, and while the holder lives, it
            # waits and has removed nothing.
            seen = time.monotonic() + 60
            while not any(first.lower().endswith("kelpmire_uninstall.exe") for _, first in wine.programs()):
                self.assertIsNone(stage2.poll(), "stage 2 ended before it was seen running")
                self.assertLess(time.monotonic(), seen, "stage 2 was never seen running")
                time.sleep(0.05)
            for _ in range(20):
                time.sleep(0.1)
                self.assertIsNone(stage2.poll(), "stage 2 waits")
                for rel in ("kelpmire.exe", os.path.join("game", "cd", "DATA", "A.QAR")):
                    self.assertTrue(os.path.exists(os.path.join(self.dir, rel)), rel)
        finally:
            wine.release_file(holder)
        self.assertEqual(stage2.wait(timeout=60), 0)
        wine.wait_idle()
        self.assert_removed()

    def test_a_temporary_copy_still_in_use_gets_one_beside_it(self):
        # The stage 2 of an earlier uninstall still runs from the temporary
        # copy (its last message open): a program holding it stands in.
        temp_copy = os.path.join(wine.temp_dir(), "kelpmire_uninstall.exe")
        with open(temp_copy, "wb") as f:
            f.write(b"held")
        holder = wine.hold_file(LOCKFILE, temp_copy)
        try:
            text = self.uninstall_answering(idle=False)
        finally:
            wine.release_file(holder)
        self.assertEqual(text, "The Kelpmire has been removed.")
        wine.wait_idle()
        beside = [n for n in os.listdir(wine.temp_dir()) if re.fullmatch(r"kelpmire_uninstall_\d+\.exe", n)]
        self.assertEqual(len(beside), 1, beside)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "game")))
        for name in INSTALLED:
            self.assertFalse(os.path.exists(os.path.join(self.dir, name)), name)
        self.assertIsNone(wine.reg_query())  # the next start of the prefix: a restart
        self.assertFalse(os.path.exists(os.path.join(wine.temp_dir(), beside[0])), "deleted at the restart")
        with open(temp_copy, "rb") as f:
            self.assertEqual(f.read(), b"held", "the copy in use is left alone")
        os.remove(temp_copy)

    def test_running_game_keeps_everything(self):
        holder = wine.hold_file(LOCKFILE, os.path.join(self.dir, "kelpmire.exe"))
        try:
            text = self.uninstall_answering(idle=False)
        finally:
            wine.release_file(holder)
        self.assertEqual(text, "The Kelpmire is still running. Close it and run the uninstall again.")
        self.assert_untouched()
        # Closed, it goes.
        self.uninstall("/uninstall", "/quiet")
        self.assert_removed()

    def test_a_virus_scanner_holding_each_new_executable(self):
        """A stand-in virus scanner holds each new version of kelpmire.new,
        kelpmire.exe and uninstall.exe for 1.5 s from the moment its writer
        lets go, sharing it for reading only: a reinstall still ends "Done."
        with the icon written and no ERROR line, and what it installed is
        removed whole. 1.5 s ends the hold at about the fourth try, just as
        the setup may be asking whether the file is still held."""
        scanner = wine.start_scanner(SCANNER, WIN_DIR, 1500)
        try:
            wine.clear_log()
            rc, _, _ = wine.run_exe(SETUP, "/silent", "/cd", win(disc), "/dir", WIN_DIR)
            lines = wine.log_lines()
            self.assertEqual((rc, lines[-1]), (0, "Done."), lines)
            self.assertFalse([l for l in lines if l.startswith("ERROR")], lines)
            self.assertTrue([l for l in lines if l.startswith("icon: ")], lines)
            # The scanner got in the setup's way: without a hold this case
            # shows nothing.
            self.assertTrue([l for l in lines if l.startswith("write retried: ")], lines)
        finally:
            end_process(scanner)
        wine.wait_idle()
        self.log = lines
        self.uninstall("/uninstall", "/quiet")
        self.assert_removed()

    def test_a_copy_an_earlier_uninstall_left_goes_with_the_next(self):
        """A normal user's stage 2 cannot have its copy deleted at the
        restart: the next uninstall's stage 1 removes it."""
        stale = os.path.join(wine.temp_dir(), "kelpmire_uninstall_4242.exe")
        with open(stale, "wb") as f:
            f.write(b"MZ left by an earlier uninstall")
        self.uninstall("/uninstall", "/quiet")
        self.assertFalse(os.path.exists(stale))
        self.assert_removed()

    def test_the_stand_in_game_running(self):
        """The installed stand-in game, started as a player starts it, waits
        in its box: a silent reinstall is refused before the copy, and the
        uninstall says that the game runs (Windows answers its deletion with
        access denied, not a sharing violation). Closed, both go on."""
        game = wine.start_exe(os.path.join(self.dir, "kelpmire.exe"))
        try:
            rc, _, err = wine.run_exe(UIDRIVER, "boxowner", "The Kelpmire (stand-in)")  # its box is up
            self.assertEqual(rc, 0, err)
            wine.clear_log()
            rc, _, _ = wine.run_exe(SETUP, "/silent", "/cd", win(disc), "/dir", WIN_DIR)
            self.assertEqual(rc, 1)
            lines = wine.log_lines()
            self.assertEqual(lines[-1], "ERROR: The Kelpmire is running from " + WIN_DIR +
                             ": close it and run the setup again")
            self.assertFalse([l for l in lines if l.startswith("Copying")], lines)
            text = self.uninstall_answering(idle=False)
            self.assertEqual(text, "The Kelpmire is still running. Close it and run the uninstall again.")
            self.assert_untouched()
        finally:
            wine.run_exe(UIDRIVER, "msgbox", "The Kelpmire (stand-in)", "OK", "10000")
            game.wait(timeout=60)
        wine.wait_programs()
        rc, _, _ = wine.run_exe(SETUP, "/silent", "/cd", win(disc), "/dir", WIN_DIR)
        self.assertEqual(rc, 0)
        self.uninstall("/uninstall", "/quiet")
        self.assert_removed()

    def test_data_file_in_use_says_so_and_the_uninstall_can_run_again(self):
        in_use = os.path.join(self.dir, "game", "cd", "DATA", "A.QAR")
        holder = wine.hold_file(LOCKFILE, in_use)
        try:
            text = self.uninstall_answering(idle=False)
        finally:
            wine.release_file(holder)
        self.assertEqual(text,
                         "Some files of The Kelpmire could not be removed. Close the game and run the uninstall again.")
        self.assertTrue(os.path.exists(in_use))
        self.assertFalse(os.path.exists(os.path.join(self.dir, "kelpmire.exe")))
        self.assertFalse(os.path.exists(os.path.join(self.dir, "game", "hd")))
        for lnk in wine.shortcut_files():
            self.assertFalse(os.path.exists(lnk), "it started a game that is gone: " + lnk)
        self.assertTrue(os.path.exists(os.path.join(self.dir, "uninstall.exe")))
        self.assertIsNotNone(wine.reg_query())
        self.uninstall("/uninstall", "/quiet")
        self.assert_removed()

    def test_setup_in_a_downloads_folder_removes_nothing(self):
        downloads = fresh_dir(os.path.join(WORK, "downloads"))
        setup = os.path.join(downloads, "kelpmire_setup.exe")
        shutil.copy(SETUP, setup)
        for rel, text in ((os.path.join("game", "save.dat"), "another game's"), ("kelpmire.ini", "someone's"),
                          ("notes.txt", "mine")):
            os.makedirs(os.path.dirname(os.path.join(downloads, rel)), exist_ok=True)
            with open(os.path.join(downloads, rel), "w") as f:
                f.write(text)
        before = tree_files(downloads)
        text = self.uninstall_answering(setup, restart=False)
        self.assertEqual(text, f"There is no installation of The Kelpmire in {win(downloads)}.")
        self.assertEqual(tree_files(downloads), before)
        self.assert_untouched()

    def test_stage_one_started_in_the_install_folder(self):
        # A console opened in the install folder: stage 2 inherits it as its
        # current folder, and the emptied folder must still go.
        os.remove(os.path.join(self.dir, "my notes.txt"))
        rc, _, _ = wine.run_exe(os.path.join(self.dir, "uninstall.exe"), "/uninstall", "/quiet", cwd=self.dir)
        self.assertEqual(rc, 0)
        wine.wait_programs()
        self.assertFalse(os.path.exists(self.dir))
        self.assertIsNone(wine.reg_query())

    def test_uninstall2_as_the_last_argument_is_a_setup_run(self):
        wine.clear_log()
        setup = wine.start_exe(SETUP, "/uninstall2")
        rc, out, err = wine.run_exe(UIDRIVER, "dump")
        self.assertEqual(rc, 0, err)
        self.assertIn("title\tThe Kelpmire - Quorvane Setup", out.replace("\r", ""))
        wine.run_exe(UIDRIVER, "close")
        self.assertEqual(setup.wait(timeout=60), 0)
        self.assertEqual(wine.log_lines()[0], "setup started")
        self.assert_untouched()


if __name__ == "__main__":
    unittest.main(verbosity=2)
