#!/usr/bin/env python3
"""End-to-end tests of the silent install under Wine.

usage: test_silent_install.py SOURCE_DIR BUILD_DIR

Runs the real kelpmire_setup.exe /silent on a sample disc as a folder, an ISO
image, raw Mode 1 and Mode 2 images through their CUE sheets, a sheet with a
pregap, a raw image of 2448-byte sectors, a Nero image, Alcohol, CloneCD
and DiscJuggler images by their descriptors (and an .mdf by its data file),
and a sheet that names its image on a network share, and checks what it
leaves with independent means: the file trees, wrestool, `wine reg query`,
lnkinfo and the log file. Then disc detection (a CD-ROM drive letter, an image
beside the setup), the failures (among them install folders the user may not
create or change, on denyfs, a FUSE file system that refuses them), paths in
several scripts, and a second install over the first.
"""
import contextlib
import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import denyfs  # noqa: E402
import faultfs  # noqa: E402
from kelpwine import (PYTHON, WINE_RUN, Wine, fresh_dir, lnkinfo, make_sample_disc, tree_digest,  # noqa: E402
                     tree_files, unmount, win)

SRC, BUILD = (os.path.abspath(a) for a in sys.argv[1:3])
del sys.argv[1:3]
WORK = os.path.join(BUILD, "e2e", "silent")
SETUP = os.path.join(BUILD, "kelpmire_setup.exe")
NOPAYLOAD = os.path.join(BUILD, "kelpmire_setup_nopayload.exe")
SETICON = os.path.join(BUILD, "seticon.exe")
UIDRIVER = os.path.join(BUILD, "uidriver.exe")
HOLDLOCK = os.path.join(BUILD, "holdlock.exe")
PAYLOAD = os.path.join(BUILD, "payload", "kelpmire_game.exe")
HD_MAP = {"kmx.exe": "SETUP/KMX.EXE", "playw32.dll": "SETUP/PLAYW32.DLL", "HD.QAR": "DATA/HD.QAR"}
# The cluster that Wine reports for every volume: 8 sectors of 512 bytes.
WINE_CLUSTER = 4096

wine = None
disc = img = None


def setUpModule():
    global wine, disc, img
    fresh_dir(WORK)
    disc = os.path.join(WORK, "disc")
    img = os.path.join(WORK, "img")
    make_sample_disc(disc, img)
    wine = Wine(os.path.join(WORK, "prefix"), template=os.path.join(BUILD, "e2e", "prefix.template"))


def c_path(win_path):
    """The Linux path of a C:\\ path in the prefix."""
    if win_path[:3].upper() != "C:\\":
        raise ValueError(f"not a path on drive C: {win_path}")
    return wine.drive_c(*win_path[3:].split("\\"))


def clean_install_state():
    """No registry entry and no shortcuts left by an earlier test."""
    wine.reg_delete()
    for lnk in wine.shortcut_files():
        if os.path.exists(lnk):
            os.remove(lnk)


_expected_exe = None


def expected_game_exe():
    """The stand-in game with the disc's icon, as seticon writes it: the same
    code the setup uses, run separately on a fresh copy of the payload."""
    global _expected_exe
    if _expected_exe is None:
        work = fresh_dir(os.path.join(WORK, "expected_exe"))
        exe = os.path.join(work, "kelpmire.exe")
        shutil.copy(PAYLOAD, exe)
        wine.run_exe(SETICON, win(exe), "--ico", win(os.path.join(disc, "KMIRE.ICO")), check_rc=0)
        with open(exe, "rb") as f:
            _expected_exe = f.read()
    return _expected_exe


def run_setup(*args, exe=SETUP, cwd=None, file_size_limit=None):
    """Runs the setup to its end with no log of an earlier run left."""
    wine.clear_log()
    rc, _, _ = wine.run_exe(exe, *args, cwd=cwd, file_size_limit=file_size_limit)
    return rc


def start_setup(*args):
    wine.clear_log()
    return wine.start_exe(SETUP, *args)


class Case(unittest.TestCase):
    """A case that leaves nothing running: a setup that a failed case left
    waiting in a box would hold the one-setup lock, and every later run would
    fail for it."""

    def tearDown(self):
        wine.end_programs()


class InstallChecks:
    def check_install(self, win_dir, source_desc, log_prefix=None, folder=None):
        """folder: the Linux folder of win_dir when it is not on drive C:."""
        d = folder or c_path(win_dir)
        # The disc tree, byte for byte, and the three hard-disk files.
        self.assertEqual(tree_digest(os.path.join(d, "game", "cd")), tree_digest(disc))
        for name, rel in HD_MAP.items():
            with open(os.path.join(d, "game", "hd", name), "rb") as a, open(os.path.join(disc, rel), "rb") as b:
                self.assertEqual(a.read(), b.read(), name)
        # The game with the disc's icon, and the uninstaller.
        with open(os.path.join(d, "kelpmire.exe"), "rb") as f:
            self.assertEqual(f.read(), expected_game_exe())
        listing = subprocess.run(["wrestool", "-l", os.path.join(d, "kelpmire.exe")], stdout=subprocess.PIPE,
                                 check=True).stdout.decode()
        self.assertIn("--type=14 --name=1", listing)
        with open(os.path.join(d, "uninstall.exe"), "rb") as a, open(SETUP, "rb") as b:
            self.assertEqual(a.read(), b.read())
        # The registry entry, exactly.
        total = sum(len(v) for v in tree_files(disc).values())
        self.assertEqual(wine.reg_query(), {
            "DisplayName": ("REG_SZ", "The Kelpmire (Quorvane)"),
            "UninstallString": ("REG_SZ", f'"{win_dir}\\uninstall.exe" /uninstall'),
            "DisplayIcon": ("REG_SZ", f"{win_dir}\\kelpmire.exe,0"),
            "InstallLocation": ("REG_SZ", win_dir),
            "Publisher": ("REG_SZ", "Quorvane port (fan project)"),
            "EstimatedSize": ("REG_DWORD", hex((total + 0x1400000) >> 10)),
            "NoModify": ("REG_DWORD", "0x1"),
            "NoRepair": ("REG_DWORD", "0x1"),
        })
        # Both shortcuts.
        for lnk in wine.shortcut_files():
            f = lnkinfo(lnk)
            self.assertEqual(f.get("Local path"), f"{win_dir}\\kelpmire.exe", lnk)
            self.assertEqual(f.get("Working directory"), win_dir, lnk)
            self.assertEqual(f.get("Description"), "The Kelpmire", lnk)
            self.assertEqual(f.get("Icon location"), f"{win_dir}\\kelpmire.exe", lnk)
        # The log, line by line.
        images = len(subprocess.run(["icotool", "-l", os.path.join(disc, "KMIRE.ICO")], stdout=subprocess.PIPE,
                                    check=True).stdout.decode().splitlines())
        self.assertEqual(wine.log_lines(), (log_prefix or [
            "setup started",
            "defaults: cd '' dir 'C:\\Games\\The Kelpmire PC'",
        ]) + [
            f"Install to {win_dir}",
            f"Copying {source_desc} ...",
            "Setting up the game files ...",
            f"icon: {images} images from the CD",
            "Done.",
        ])


class SilentInstall(InstallChecks, Case):
    def test_every_form_of_the_disc(self):
        forms = [
            ("folder", disc, f"folder {win(disc)}"),
            ("iso", os.path.join(img, "game.iso"), f"image {win(os.path.join(img, 'game.iso'))}"),
            ("mode1", os.path.join(img, "game.cue"), f"image {win(os.path.join(img, 'game.bin'))}"),
            ("mode2", os.path.join(img, "game_m2.cue"), f"image {win(os.path.join(img, 'game_m2.bin'))}"),
        ]
        for name, source, desc in forms:
            with self.subTest(form=name):
                clean_install_state()
                before = tree_digest(os.path.dirname(source) if name != "folder" else disc)
                win_dir = f"C:\\Games\\Kelpmire {name}"
                self.assertEqual(run_setup("/silent", "/cd", win(source), "/dir", win_dir), 0)
                self.check_install(win_dir, desc)
                self.assertEqual(tree_digest(os.path.dirname(source) if name != "folder" else disc), before,
                                 "the source is never written")

    def test_raw_images_as_other_tools_write_them(self):
        # A sheet with a pregap stored in its image, a raw image of 2448-byte
        # Mode 2 sectors opened as it stands, and a Nero image.
        forms = [
            ("pregap", os.path.join(img, "game_pregap.cue"), os.path.join(img, "game_pregap.bin")),
            ("nero", os.path.join(img, "game.nrg"), os.path.join(img, "game.nrg")),
            ("subchannel", os.path.join(img, "game_m2_2448.img"), os.path.join(img, "game_m2_2448.img")),
        ]
        for name, source, image in forms:
            with self.subTest(form=name):
                clean_install_state()
                win_dir = f"C:\\Games\\Kelpmire {name}"
                self.assertEqual(run_setup("/silent", "/cd", win(source), "/dir", win_dir), 0)
                self.check_install(win_dir, f"image {win(image)}")

    def test_images_of_other_tools_by_descriptor_and_data_file(self):
        # Alcohol, CloneCD and DiscJuggler images of the disc (tools/iso2image.py);
        # an .mdf given alone is read through the .mds beside it.
        other = fresh_dir(os.path.join(WORK, "other"))
        iso = os.path.join(img, "game.iso")
        for args in (("mds", "game.mds", "--sector", "2448"), ("ccd", "game.ccd", "--mode", "2"),
                     ("cdi", "game.cdi", "--version", "3.5", "--sector", "2336", "--mode", "2")):
            subprocess.run([PYTHON, os.path.join(SRC, "tools", "iso2image.py"), args[0], iso,
                            os.path.join(other, args[1])] + list(args[2:]), check=True)
        forms = [
            ("mds", "game.mds", "game.mdf"),
            ("ccd", "game.ccd", "game.img"),
            ("cdi", "game.cdi", "game.cdi"),
            ("mdf", "game.mdf", "game.mdf"),
        ]
        for name, source, data in forms:
            with self.subTest(form=name):
                clean_install_state()
                before = tree_digest(other)
                win_dir = f"C:\\Games\\Kelpmire {name}"
                self.assertEqual(run_setup("/silent", "/cd", win(os.path.join(other, source)), "/dir", win_dir), 0)
                self.check_install(win_dir, f"image {win(os.path.join(other, data))}")
                self.assertEqual(tree_digest(other), before, "the source is never written")

    def test_sheet_naming_a_network_share_never_reaches_it(self):
        # Wine serves "\??\UNC\srv\share" from dosdevices/unc/srv/share: the
        # share holds a good image, which the setup must never open.
        share = fresh_dir(os.path.join(WORK, "unc_share"))
        shutil.copy(os.path.join(img, "game.bin"), os.path.join(share, "GAME.BIN"))
        unc = os.path.join(wine.prefix, "dosdevices", "unc", "srv")
        os.makedirs(unc, exist_ok=True)
        link = os.path.join(unc, "share")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(share, link)
        sheets = fresh_dir(os.path.join(WORK, "unc_sheet"))
        sheet = os.path.join(sheets, "game.cue")
        with open(os.path.join(img, "game.cue")) as f:
            text = f.read().replace('FILE "game.bin"', 'FILE "\\??\\UNC\\srv\\share\\GAME.BIN"')
        self.assertIn("\\??\\UNC\\", text)
        with open(sheet, "w", newline="\r\n") as f:
            f.write(text)
        try:
            # Nothing beside the sheet: the disc is refused.
            clean_install_state()
            win_dir = "C:\\Games\\Kelpmire share"
            shutil.rmtree(c_path(win_dir), ignore_errors=True)
            self.assertEqual(run_setup("/silent", "/cd", win(sheet), "/dir", win_dir), 1)
            self.assertEqual(wine.log_lines()[2:], [
                f"Install to {win_dir}",
                "ERROR: the CD is not a readable disc, image or folder",
            ])
            self.assertFalse(os.path.exists(c_path(win_dir)))
            self.assertIsNone(wine.reg_query())
            # A copy beside the sheet is the one installed from.
            shutil.copy(os.path.join(img, "game.bin"), os.path.join(sheets, "GAME.BIN"))
            self.assertEqual(run_setup("/silent", "/cd", win(sheet), "/dir", win_dir), 0)
            self.check_install(win_dir, f"image {win(os.path.join(sheets, 'GAME.BIN'))}")
        finally:
            os.remove(link)

    def test_names_in_several_scripts(self):
        clean_install_state()
        src = os.path.join(WORK, "Kelp Łódź 東京 disc")
        shutil.rmtree(src, ignore_errors=True)
        shutil.copytree(disc, src)
        win_dir = "C:\\Games\\Kelpmire Łódź 東京"
        self.assertEqual(run_setup("/silent", "/cd", win(src), "/dir", win_dir), 0)
        d = c_path(win_dir)
        self.assertEqual(tree_digest(os.path.join(d, "game", "cd")), tree_digest(disc))
        # `reg query` prints through the console's code page; the hive itself
        # holds the exact text once Wine has written it out.
        wine.wait_idle()
        with open(os.path.join(wine.prefix, "user.reg"), encoding="utf-8") as f:
            hive = f.read()
        want = '"InstallLocation"="C:\\\\Games\\\\Kelpmire \\x141\\x00f3d\\x17a \\x6771\\x4eac"'
        self.assertTrue(want in hive, want)
        for lnk in wine.shortcut_files():
            self.assertEqual(lnkinfo(lnk).get("Working directory"), win_dir)
        self.assertEqual(wine.log_lines()[-1], "Done.")

    def test_shortcut_options_choose_the_shortcut_files(self):
        startmenu, desktop = wine.shortcut_files()
        win_dir = "C:\\Games\\Kelpmire links"
        for options, want_startmenu, want_desktop in (
                ([], True, True),
                (["/nodesktop"], True, False),
                (["/nostartmenu"], False, True),
                (["/NODESKTOP", "/nostartmenu"], False, False)):
            with self.subTest(options=options):
                clean_install_state()
                self.assertEqual(run_setup("/silent", *options, "/cd", win(disc), "/dir", win_dir), 0)
                self.assertEqual(os.path.exists(startmenu), want_startmenu, startmenu)
                self.assertEqual(os.path.exists(desktop), want_desktop, desktop)
                lines = wine.log_lines()
                self.assertEqual(lines[-1], "Done.")
                self.assertEqual([l for l in lines if l.startswith("cannot create the shortcut")], [])

    def test_desktop_that_is_a_file_is_named_and_the_install_succeeds(self):
        clean_install_state()
        startmenu, desktop = wine.shortcut_files()
        folder = os.path.dirname(desktop)
        was = os.readlink(folder) if os.path.islink(folder) else None
        moved = folder + ".was"
        if was is None:
            os.rename(folder, moved)
        else:
            os.remove(folder)
        with open(folder, "w") as f:
            f.write("not a folder")
        try:
            win_dir = "C:\\Games\\Kelpmire no desktop"
            self.assertEqual(run_setup("/silent", "/cd", win(disc), "/dir", win_dir), 0)
            user = os.path.basename(wine.user_dir())
            self.assertEqual(wine.log_lines()[-2:], [
                f"cannot create the shortcut C:\\users\\{user}\\Desktop\\The Kelpmire.lnk", "Done."])
            self.assertTrue(os.path.exists(startmenu))
            with open(folder) as f:
                self.assertEqual(f.read(), "not a folder")
            self.assertIsNotNone(wine.reg_query())
        finally:
            os.remove(folder)
            if was is None:
                os.rename(moved, folder)
            else:
                os.symlink(was, folder)

    def test_second_install_replaces_the_first(self):
        clean_install_state()
        win_dir = "C:\\Games\\Kelpmire again"
        self.assertEqual(run_setup("/silent", "/cd", win(disc), "/dir", win_dir), 0)
        d = c_path(win_dir)
        for rel in ("kelpmire.exe", "uninstall.exe", os.path.join("game", "cd", "DATA", "A.QAR"),
                    os.path.join("game", "hd", "HD.QAR")):
            with open(os.path.join(d, rel), "wb") as f:
                f.write(b"spoiled")
        for lnk in wine.shortcut_files():
            os.remove(lnk)
        wine.reg_delete()
        self.assertEqual(run_setup("/silent", "/cd", win(os.path.join(img, "game.iso")), "/dir", win_dir), 0)
        self.check_install(win_dir, f"image {win(os.path.join(img, 'game.iso'))}")


class Detection(Case):
    def setUp(self):
        clean_install_state()
        self.beside = fresh_dir(os.path.join(WORK, "beside"))
        self.setup = os.path.join(self.beside, "kelpmire_setup.exe")
        shutil.copy(SETUP, self.setup)

    def tearDown(self):
        super().tearDown()
        wine.remove_drive("k")

    def defaults_line(self):
        return next(line for line in wine.log_lines() if line.startswith("defaults: "))

    def test_cd_drive_is_found_without_cd(self):
        wine.set_cdrom("k", disc)
        self.assertEqual(run_setup("/silent", "/dir", "C:\\Games\\Kelpmire drive"), 0)
        self.assertEqual(self.defaults_line(), "defaults: cd 'K:\\' dir 'C:\\Games\\The Kelpmire PC'")
        self.assertEqual(wine.log_lines()[3], "Copying folder K:\\ ...")

    def test_image_beside_the_setup_is_found(self):
        # A sheet that is not the game's, a backup and a bare BIN are passed over.
        os.makedirs(os.path.join(self.beside, "other"))
        with open(os.path.join(self.beside, "other", "x.txt"), "w") as f:
            f.write("not the game")
        subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "-o", os.path.join(self.beside, "AAA.ISO"),
                        os.path.join(self.beside, "other")], check=True, stderr=subprocess.DEVNULL)
        shutil.copy(os.path.join(img, "game.iso"), os.path.join(self.beside, "game.iso.bak"))
        shutil.copy(os.path.join(img, "game.bin"), os.path.join(self.beside, "game.bin"))
        shutil.copy(os.path.join(img, "game.iso"), os.path.join(self.beside, "Game.Iso"))
        rc = run_setup("/silent", "/dir", "C:\\Games\\Kelpmire beside", exe=self.setup)
        self.assertEqual(rc, 0)
        found = win(os.path.join(self.beside, "Game.Iso"))
        self.assertEqual(self.defaults_line(), f"defaults: cd '{found}' dir 'C:\\Games\\The Kelpmire PC'")
        self.assertIn("CD check: DATA\\A.QAR missing", wine.log_lines())

    def test_img_beside_the_setup_is_found_after_iso_and_cue(self):
        # A.IMG comes first in the folder, but an .iso or .cue that is the disc
        # wins; without it, the image is found.
        shutil.copy(os.path.join(img, "game_2448.img"), os.path.join(self.beside, "A.IMG"))
        shutil.copy(os.path.join(img, "game.iso"), os.path.join(self.beside, "Z.iso"))
        for name in ("Z.iso", "A.IMG"):
            clean_install_state()
            rc = run_setup("/silent", "/dir", "C:\\Games\\Kelpmire img", exe=self.setup)
            self.assertEqual(rc, 0)
            found = win(os.path.join(self.beside, name))
            self.assertEqual(self.defaults_line(), f"defaults: cd '{found}' dir 'C:\\Games\\The Kelpmire PC'")
            self.assertIn(f"Copying image {found} ...", wine.log_lines())
            os.remove(os.path.join(self.beside, name))

    def test_nero_image_beside_the_setup_is_found_before_a_raw_image(self):
        # A descriptor counts with the .iso and .cue files: A.IMG comes first in
        # the folder, but the Nero image is found.
        shutil.copy(os.path.join(img, "game_2448.img"), os.path.join(self.beside, "A.IMG"))
        shutil.copy(os.path.join(img, "game.nrg"), os.path.join(self.beside, "Z.Nrg"))
        self.assertEqual(run_setup("/silent", "/dir", "C:\\Games\\Kelpmire nrg", exe=self.setup), 0)
        found = win(os.path.join(self.beside, "Z.Nrg"))
        self.assertEqual(self.defaults_line(), f"defaults: cd '{found}' dir 'C:\\Games\\The Kelpmire PC'")
        self.assertIn(f"Copying image {found} ...", wine.log_lines())

    def test_drive_wins_over_an_image_and_cd_wins_over_both(self):
        wine.set_cdrom("k", disc)
        shutil.copy(os.path.join(img, "game.iso"), os.path.join(self.beside, "game.iso"))
        rc = run_setup("/silent", "/dir", "C:\\Games\\Kelpmire both", exe=self.setup)
        self.assertEqual(rc, 0)
        self.assertEqual(self.defaults_line(), "defaults: cd 'K:\\' dir 'C:\\Games\\The Kelpmire PC'")
        rc = run_setup("/silent", "/cd", win(os.path.join(img, "game.cue")), "/dir", "C:\\Games\\Kelpmire both",
                       exe=self.setup)
        self.assertEqual(rc, 0)
        self.assertIn(f"Copying image {win(os.path.join(img, 'game.bin'))} ...", wine.log_lines())


class Failures(Case):
    def setUp(self):
        clean_install_state()

    def assert_nothing_installed(self, win_dir):
        self.assertFalse(os.path.exists(c_path(win_dir)))
        self.assertIsNone(wine.reg_query())

    def test_folder_that_is_not_the_game_disc(self):
        other = fresh_dir(os.path.join(WORK, "not_the_disc"))
        shutil.copytree(os.path.join(disc, "SETUP"), os.path.join(other, "SETUP"))
        win_dir = "C:\\Games\\Kelpmire never"
        self.assertEqual(run_setup("/silent", "/cd", win(other), "/dir", win_dir), 1)
        self.assertEqual(wine.log_lines()[2:], [
            f"Install to {win_dir}",
            "CD check: DATA\\A.QAR missing",
            "ERROR: this is not The Kelpmire CD",
        ])
        self.assert_nothing_installed(win_dir)

    def test_no_disc_found_and_no_cd(self):
        # A copy alone in its folder and no CD drive: start-up finds nothing.
        # "/cd" as the last argument names no disc either.
        setup = os.path.join(fresh_dir(os.path.join(WORK, "alone")), "kelpmire_setup.exe")
        shutil.copy(SETUP, setup)
        win_dir = "C:\\Games\\Kelpmire nothing"
        for args in (["/silent", "/dir", win_dir], ["/silent", "/dir", win_dir, "/cd"]):
            with self.subTest(args=args):
                rc = run_setup(*args, exe=setup)
                self.assertEqual(rc, 1)
                self.assertEqual(wine.log_lines(), [
                    "setup started",
                    "defaults: cd '' dir 'C:\\Games\\The Kelpmire PC'",
                    f"Install to {win_dir}",
                    "ERROR: no game disc found: insert the CD, or name the disc, an image or a folder with /cd",
                ])
                self.assert_nothing_installed(win_dir)

    def test_disc_path_that_cannot_be_opened(self):
        win_dir = "C:\\Games\\Kelpmire missing"
        self.assertEqual(run_setup("/silent", "/cd", win(os.path.join(WORK, "no such disc")), "/dir", win_dir), 1)
        self.assertEqual(wine.log_lines()[2:], [
            f"Install to {win_dir}",
            "ERROR: the CD is not a readable disc, image or folder",
        ])
        self.assert_nothing_installed(win_dir)

    def test_setup_without_the_game_executable(self):
        win_dir = "C:\\Games\\Kelpmire no payload"
        rc = run_setup("/silent", "/cd", win(disc), "/dir", win_dir, exe=NOPAYLOAD)
        self.assertEqual(rc, 1)
        self.assertEqual(wine.log_lines()[2:], [
            f"Install to {win_dir}",
            "ERROR: this setup does not contain the game executable",
        ])
        self.assert_nothing_installed(win_dir)

    def test_hard_disk_file_that_cannot_be_copied_shows_the_error_box(self):
        # A folder of that name passes the disc check but cannot be copied as a file.
        broken = os.path.join(WORK, "hd_is_a_folder")
        shutil.rmtree(broken, ignore_errors=True)
        shutil.copytree(disc, broken)
        os.remove(os.path.join(broken, "DATA", "HD.QAR"))
        os.makedirs(os.path.join(broken, "DATA", "HD.QAR"))
        win_dir = "C:\\Games\\Kelpmire box"
        shutil.rmtree(c_path(win_dir), ignore_errors=True)
        setup = start_setup("/silent", "/cd", win(broken), "/dir", win_dir)
        rc, text, err = wine.run_exe(UIDRIVER, "msgbox", "The Kelpmire setup", "OK", "60000")
        self.assertEqual(rc, 0, err)
        self.assertEqual(text.strip(), "Copying the game files from the CD failed.")
        self.assertEqual(setup.wait(timeout=60), 1)
        hd_source = f"{win_dir}\\game\\cd\\DATA\\HD.QAR"
        self.assertEqual(wine.log_lines()[-3:], [f"cannot read {hd_source}", f"cannot copy {hd_source}",
                                                 "removed what this install had written"])
        self.assertFalse(os.path.exists(c_path(win_dir)), "the folder that the run made is gone")
        self.assertIsNone(wine.reg_query())

    def test_write_that_fails_mid_copy(self):
        win_dir = "C:\\Games\\Kelpmire blocked"
        d = c_path(win_dir)
        # A folder where the copy wants to write DATA\T.QAR, after A.QAR and HD.QAR.
        os.makedirs(os.path.join(d, "game", "cd", "DATA", "T.QAR"))
        before = tree_digest(disc)
        self.assertEqual(run_setup("/silent", "/cd", win(disc), "/dir", win_dir), 1)
        self.assertEqual(wine.log_lines()[-3:], [
            f"cannot write {win_dir}\\game\\cd\\DATA\\T.QAR",
            "ERROR: copying the CD failed",
            "removed what this install had written",
        ])
        self.assertEqual(tree_digest(disc), before)
        # "game" was there before the run: it stays, with what the copy wrote.
        self.assertTrue(os.path.exists(os.path.join(d, "game", "cd", "DATA", "A.QAR")))
        self.assertFalse(os.path.exists(os.path.join(d, "uninstall.exe")))
        self.assertIsNone(wine.reg_query())

    def test_copy_that_fails_half_way_leaves_the_folder_as_before(self):
        # An image cut short: its directories are whole, the data of its
        # later files are missing, so the copy fails half-way.
        broken = os.path.join(WORK, "cut.iso")
        with open(os.path.join(img, "game.iso"), "rb") as f:
            data = f.read()
        with open(broken, "wb") as f:
            # Inside the data of the sample disc's largest file on the image,
            # well before the padding at its end.
            f.write(data[:150 * 2048 + 1000])
        for win_dir, mine in (("C:\\Games\\Kelpmire half\\The Kelpmire PC", None),
                              ("C:\\Games\\Kelpmire mine", "my notes.txt")):
            top = c_path("C:\\Games\\Kelpmire half") if mine is None else c_path(win_dir)
            shutil.rmtree(top, ignore_errors=True)
            if mine:
                os.makedirs(top)
                with open(os.path.join(top, mine), "w") as f:
                    f.write("mine")
            before = tree_files(top) if mine else None
            self.assertEqual(run_setup("/silent", "/cd", win(broken), "/dir", win_dir), 1)
            self.assertEqual(wine.log_lines()[-2:], ["ERROR: copying the CD failed",
                                                     "removed what this install had written"])
            if mine:
                self.assertEqual(tree_files(top), before)
            else:
                self.assertFalse(os.path.exists(top), "the folders that the run made are gone")
            self.assertIsNone(wine.reg_query())

    def test_another_programs_files_are_refused(self):
        win_dir = "C:\\Games\\Other program"
        d = fresh_dir(c_path(win_dir))
        for rel, text in (("uninstall.exe", "its uninstaller"), (os.path.join("game", "data.pak"), "its data")):
            os.makedirs(os.path.dirname(os.path.join(d, rel)), exist_ok=True)
            with open(os.path.join(d, rel), "w") as f:
                f.write(text)
        before = tree_files(d)
        self.assertEqual(run_setup("/silent", "/cd", win(disc), "/dir", win_dir), 1)
        self.assertEqual(wine.log_lines()[-1],
                         f"ERROR: {win_dir} already holds files of another program: choose another install folder")
        self.assertEqual(tree_files(d), before)
        self.assertIsNone(wine.reg_query())

    def test_disc_folder_inside_the_install_folder_is_refused(self):
        win_dir = "C:\\Games\\Nested"
        d = fresh_dir(c_path(win_dir))
        shutil.copytree(disc, os.path.join(d, "disc"))
        before = tree_files(d)
        self.assertEqual(run_setup("/silent", "/cd", win_dir + "\\disc", "/dir", win_dir), 1)
        self.assertEqual(wine.log_lines()[-1], f"ERROR: the disc folder {win_dir}\\disc and the install folder "
                                               f"{win_dir} lie inside one another")
        self.assertEqual(tree_files(d), before, "nothing written")
        self.assertIsNone(wine.reg_query())

    def test_installed_disc_copy_under_a_second_name_is_refused(self):
        # The disc copy of an installation given as the disc for a reinstall
        # into it, named through the Unix root (Z:) and through a second
        # drive letter on drive_c: by name they are apart, yet one folder.
        win_dir = "C:\\Games\\Base"
        d = c_path(win_dir)
        shutil.rmtree(d, ignore_errors=True)
        self.assertEqual(run_setup("/silent", "/cd", win(disc), "/dir", win_dir), 0)
        before = tree_digest(d)
        entry = wine.reg_query()
        wine.map_drive("v", wine.drive_c())
        try:
            for cd in (win(os.path.join(d, "game", "cd")), "V:\\Games\\Base\\game\\cd",
                       "V:\\Games\\Base\\game"):
                with self.subTest(cd=cd):
                    self.assertEqual(run_setup("/silent", "/cd", cd, "/dir", win_dir), 1)
                    self.assertEqual(wine.log_lines()[2:], [
                        f"Install to {win_dir}",
                        f"ERROR: the disc folder {cd} and the install folder {win_dir} lie inside one another",
                    ])
                    self.assertEqual(tree_digest(d), before, "every installed file unchanged")
                    self.assertEqual(wine.reg_query(), entry)
        finally:
            wine.remove_drive("v")

    def test_command_lines_as_people_type_them(self):
        # Through a batch file, so that the line reaches the setup as typed.
        wine.set_cdrom("k", disc)
        try:
            bat = os.path.join(WORK, "typed.bat")
            for line, folder in (('"%s" /dir "C:\\Games\\TB\\" /silent', "C:\\Games\\TB\\"),
                                 ('"%s" /cd "K:\\" /silent /dir "C:\\Games\\TK\\"', "C:\\Games\\TK\\")):
                shutil.rmtree(c_path(folder.rstrip("\\")), ignore_errors=True)
                clean_install_state()
                with open(bat, "w") as f:
                    f.write("@" + (line % win(SETUP)) + "\r\n")
                rc, _, _ = wine.run_exe("cmd", "/c", win(bat))
                self.assertEqual(rc, 0, line)
                log = wine.log_lines()
                self.assertIn("Install to " + folder, log, line)
                self.assertTrue(os.path.exists(os.path.join(c_path(folder.rstrip("\\")), "kelpmire.exe")), line)
                self.assertEqual(wine.reg_query()["InstallLocation"], ("REG_SZ", folder.rstrip("\\")))
            self.assertIn("Copying folder K:\\ ...", log)
        finally:
            wine.remove_drive("k")


class OneSetupAtATime(Case):
    """The lock that lets one setup run at a time: one that is just ending
    may hold it a moment longer, and gets 1.5 s to let go of it."""

    def test_a_setup_that_ends_soon_is_waited_for_and_one_that_runs_on_is_not(self):
        win_dir = "C:\\Games\\Kelpmire lock"
        for hold_ms, want_rc in ((500, 0), (3000, 1)):
            with self.subTest(hold_ms=hold_ms):
                clean_install_state()
                shutil.rmtree(c_path(win_dir), ignore_errors=True)
                holder = subprocess.Popen([WINE_RUN, wine.prefix, HOLDLOCK, "Local\\KelpmireSetupRunning",
                                           str(hold_ms)], env=wine.env, stdout=subprocess.PIPE,
                                          stderr=subprocess.DEVNULL)
                try:
                    self.assertEqual(holder.stdout.readline().decode(errors="replace").strip(), "held")
                    wine.clear_log()
                    started = time.monotonic()
                    rc, _, _ = wine.run_exe(SETUP, "/silent", "/cd", win(disc), "/dir", win_dir)
                    took = time.monotonic() - started
                finally:
                    holder.kill()
                    holder.wait(timeout=60)
                    holder.stdout.close()
                self.assertEqual(rc, want_rc)
                if want_rc == 0:
                    self.assertEqual(wine.log_lines()[-1], "Done.")
                else:
                    self.assertGreaterEqual(took, 1.5, "the setup gave up before its grace was over")
                    self.assertIsNone(wine.log_lines(), "the second setup writes no log")
                    self.assertFalse(os.path.exists(c_path(win_dir)))
                    self.assertIsNone(wine.reg_query())


class SpaceAndFullPaths(InstallChecks, Case):
    """The checks made before anything is written: room on the install
    folder's drive, and a full install folder."""

    def setUp(self):
        clean_install_state()

    def small_drive(self, letter, kib):
        """Drive letter on a tmpfs of kib KiB. Returns (its Linux folder, the
        way to undo it), or None where this machine cannot mount."""
        folder = fresh_dir(os.path.join(WORK, "drive_" + letter))
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dk,mode=0755" % kib, "tmpfs", folder],
                          stderr=subprocess.DEVNULL).returncode != 0:
            return None
        wine.map_drive(letter, folder)

        def undo():
            # A setup that a failed case left running holds files of the drive,
            # and any Wine call would wait for it: it goes first, with the
            # server, then the mount, and the drive letter last.
            wine.end_programs()
            wine.stop_server()
            unmount(folder)
            wine.remove_drive(letter)
        return folder, undo

    def need_bytes(self, disc_root):
        """What an install writes, every file in whole clusters: the disc, the
        second copies of the hard-disk files, the game executable with room for
        its icon (twice the icon file's bytes and the largest section rounding,
        64 KiB) and the uninstaller."""
        files = [os.path.join(base, f) for base, _, names in os.walk(disc_root) for f in names]
        files += [os.path.join(disc_root, rel) for rel in HD_MAP.values()] + [SETUP]
        sizes = [os.path.getsize(f) for f in files]
        sizes.append(os.path.getsize(PAYLOAD) + 2 * os.path.getsize(os.path.join(disc_root, "KMIRE.ICO")) + (64 << 10))
        return sum(-(-size // WINE_CLUSTER) * WINE_CLUSTER for size in sizes)

    def test_too_little_free_space_writes_nothing(self):
        mb = 1 << 20
        small = self.small_drive("t", 1024)
        if small is not None:
            folder, undo = small
            source = disc
        else:
            # No mount here (not root): the drive is a scratch folder on the
            # build's disk, and the disc holds a sparse file larger than that
            # disk's free space, which the install would need to copy. The run
            # may write no file past 256 MiB: a space check that let it
            # through would otherwise fill the build's disk.
            folder = fresh_dir(os.path.join(WORK, "drive_t"))
            wine.map_drive("t", folder)
            undo = lambda: wine.remove_drive("t")  # noqa: E731
            source = os.path.join(WORK, "huge_disc")
            shutil.rmtree(source, ignore_errors=True)
            shutil.copytree(disc, source)
            st = os.statvfs(folder)
            with open(os.path.join(source, "HUGE.DAT"), "wb") as f:
                f.truncate(st.f_bavail * st.f_frsize + (64 << 30))
        try:
            before = tree_digest(source) if small is not None else None
            need = self.need_bytes(source)
            win_dir = "T:\\Games\\The Kelpmire PC"
            self.assertEqual(run_setup("/silent", "/cd", win(source), "/dir", win_dir,
                                       file_size_limit=None if small is not None else 256 << 20), 1)
            lines = wine.log_lines()
            self.assertEqual(lines[2], f"Install to {win_dir}")
            line = lines[3]
            prefix = f"ERROR: not enough free space on T:\\: {(need + mb - 1) // mb} MB needed, "
            self.assertTrue(line.startswith(prefix), line)
            if small is not None:
                st = os.statvfs(folder)
                self.assertEqual(line, prefix + f"{st.f_bavail * st.f_frsize // mb} MB free")
                self.assertEqual(tree_digest(source), before, "the source is never written")
            self.assertEqual(len(lines), 4, lines)
            self.assertEqual(os.listdir(folder), [], "nothing written")
            self.assertIsNone(wine.reg_query())
            for lnk in wine.shortcut_files():
                self.assertFalse(os.path.exists(lnk), lnk)
        finally:
            undo()
            if small is None:
                shutil.rmtree(source, ignore_errors=True)

    def test_enough_free_space_on_a_small_drive(self):
        small = self.small_drive("t", 4096 + self.need_bytes(disc) // 1024)
        # The test machines run as root: a refusal is a fault of the machine
        # to be seen, not a case to pass over.
        self.assertIsNotNone(small, "this machine cannot mount a small drive (not root?)")
        folder, undo = small
        try:
            # The nearest folder that exists is the drive's root.
            win_dir = "T:\\Games\\The Kelpmire PC"
            self.assertEqual(run_setup("/silent", "/cd", win(disc), "/dir", win_dir), 0)
            self.assertEqual(wine.log_lines()[-1], "Done.")
            d = os.path.join(folder, "Games", "The Kelpmire PC")
            self.assertEqual(tree_digest(os.path.join(d, "game", "cd")), tree_digest(disc))
        finally:
            undo()

    def test_exactly_the_room_asked_for_installs_whole_and_a_cluster_less_is_refused(self):
        # A drive of exactly the bytes that an install needs (need_bytes,
        # from the disc's files, the payload, the icon file and the setup) is
        # enough, and one cluster less is not: the check's figure is that one
        # from both sides, and the install fits in what the check counted.
        mb = 1 << 20
        need = self.need_bytes(disc)
        win_dir = "T:\\Games\\The Kelpmire PC"
        for room, enough in ((need, True), (need - WINE_CLUSTER, False)):
            with self.subTest(room=room):
                clean_install_state()
                small = self.small_drive("t", room // 1024)
                self.assertIsNotNone(small, "this machine cannot mount a small drive (not root?)")
                folder, undo = small
                try:
                    # tmpfs gives each file whole pages and a folder none:
                    # the fresh drive has the room, and no more.
                    st = os.statvfs(folder)
                    self.assertEqual((st.f_frsize, st.f_bavail * st.f_frsize), (WINE_CLUSTER, room))
                    rc = run_setup("/silent", "/cd", win(disc), "/dir", win_dir)
                    lines = wine.log_lines()
                    if not enough:
                        self.assertEqual(rc, 1)
                        self.assertEqual(lines[2:], [
                            f"Install to {win_dir}",
                            f"ERROR: not enough free space on T:\\: {(need + mb - 1) // mb} MB needed, "
                            f"{room // mb} MB free",
                        ])
                        self.assertEqual(os.listdir(folder), [], "nothing written")
                        self.assertIsNone(wine.reg_query())
                        continue
                    self.assertEqual(rc, 0, lines)
                    d = os.path.join(folder, "Games", "The Kelpmire PC")
                    self.check_install(win_dir, f"folder {win(disc)}", folder=d)
                    # Nothing but the install landed on the drive (no log, no
                    # file of Wine's), and the pages it took are its files'.
                    files = [os.path.join(base, f) for base, _, names in os.walk(folder) for f in names]
                    self.assertEqual(sorted(os.path.relpath(f, d) for f in files), sorted(
                        [os.path.join("game", "cd", rel) for rel in tree_files(disc)] +
                        [os.path.join("game", "hd", name) for name in HD_MAP] + ["kelpmire.exe", "uninstall.exe"]))
                    st = os.statvfs(folder)
                    self.assertEqual((st.f_blocks - st.f_bfree) * st.f_frsize,
                                     sum(-(-os.path.getsize(f) // WINE_CLUSTER) * WINE_CLUSTER for f in files))
                finally:
                    undo()

    def denying_drive(self, letter):
        """Drive letter on denyfs over a fresh folder holding Protected and Mine,
        refusing what the plan file says (written by the case, empty at first).
        Returns (the context to enter, the backing folder, the plan file)."""
        base = fresh_dir(os.path.join(WORK, "deny_" + letter))
        back, mnt, plan = (os.path.join(base, n) for n in ("back", "mnt", "plan"))
        for name in ("Protected", "Mine"):
            os.makedirs(os.path.join(back, name))
        open(plan, "w").close()

        @contextlib.contextmanager
        def drive():
            try:
                with faultfs.mounted(back, mnt, plan, program=denyfs.PROGRAM):
                    wine.map_drive(letter, mnt)
                    try:
                        yield
                    finally:
                        # Wine lets go of the drive before it is unmounted.
                        wine.end_programs()
                        wine.stop_server()
            except faultfs.MountRefused as e:
                self.fail(str(e))  # as the other FUSE cases: a test that cannot run has shown nothing
            finally:
                wine.remove_drive(letter)
        return drive(), back, plan

    def test_folder_the_user_may_not_create_is_named_and_nothing_is_written(self):
        # As root Wine is never refused; denyfs answers a folder made below
        # Protected with EACCES, as Program Files answers one who is not an
        # administrator.
        drive, back, plan = self.denying_drive("x")
        with open(plan, "w") as f:
            f.write("mkdir Protected\n")
        with drive:
            win_dir = "X:\\Protected\\The Kelpmire PC"
            self.assertEqual(run_setup("/silent", "/cd", win(disc), "/dir", win_dir), 1)
            self.assertEqual(wine.log_lines()[2:], [
                f"Install to {win_dir}",
                f"ERROR: you are not allowed to create {win_dir}: choose another install folder, or run the "
                "setup as an administrator",
                "removed what this install had written",
            ])
            self.assertEqual(os.listdir(os.path.join(back, "Protected")), [], "nothing written")
            self.assertIsNone(wine.reg_query())
            for lnk in wine.shortcut_files():
                self.assertFalse(os.path.exists(lnk), lnk)

    def test_reinstall_over_a_folder_the_user_may_not_change_leaves_it_as_it_was(self):
        # An administrator's install, then a user who may add nothing to its
        # folder installs again: told before the copy, and the install stays.
        drive, back, plan = self.denying_drive("x")
        win_dir = "X:\\Mine\\The Kelpmire PC"
        d = os.path.join(back, "Mine", "The Kelpmire PC")
        try:
            with drive:
                self.assertEqual(run_setup("/silent", "/cd", win(disc), "/dir", win_dir), 0)
                self.check_install(win_dir, f"folder {win(disc)}", folder=d)
                before, entry = tree_digest(d), wine.reg_query()
                self.assertIsNotNone(entry)
                with open(plan, "w") as f:
                    f.write("create Mine/The Kelpmire PC\n")
                self.assertEqual(run_setup("/silent", "/cd", win(disc), "/dir", win_dir), 1)
                lines = wine.log_lines()
                self.assertEqual(lines[2:], [
                    f"Install to {win_dir}",
                    f"ERROR: you are not allowed to change {win_dir}: choose another install folder, or run the "
                    "setup as an administrator",
                    "removed what this install had written",
                ])
                self.assertEqual(tree_digest(d), before)
                self.assertEqual(wine.reg_query(), entry)
        finally:
            clean_install_state()

    def test_folder_too_long_for_the_deepest_path_writes_nothing(self):
        clean_install_state()
        # The longest path below the disc's root as Windows counts it: a
        # file's, or a folder's with room for a short file name (12) in it.
        deepest = max(len(os.path.relpath(os.path.join(base, n), disc)) + (12 if n in dirs else 0)
                      for base, dirs, files in os.walk(disc) for n in dirs + files)
        top = wine.drive_c("Games", "Long")
        shutil.rmtree(top, ignore_errors=True)
        # A folder whose deepest path, FOLDER\game\cd\DEEPEST, has 260
        # characters: one more than Windows opens.
        win_dir = "C:\\Games\\Long"
        while len(win_dir) < 260 - len("\\game\\cd\\") - deepest:
            win_dir += "\\" if len(win_dir) % 60 == 59 else "x"
        if win_dir.endswith("\\"):
            win_dir = win_dir[:-1] + "y"
        self.assertEqual(run_setup("/silent", "/cd", win(disc), "/dir", win_dir), 1)
        self.assertEqual(wine.log_lines()[2:], [
            f"Install to {win_dir}",
            "ERROR: the install folder is too long for the disc's deepest file (260 characters): "
            "choose a shorter folder",
        ])
        self.assertFalse(os.path.exists(top), "nothing created")
        self.assertIsNone(wine.reg_query())
        for lnk in wine.shortcut_files():
            self.assertFalse(os.path.exists(lnk), lnk)

    def test_relative_install_folder_is_refused(self):
        # Run from a folder of drive C:, where each of these would land.
        cwd = fresh_dir(wine.drive_c("current"))
        for win_dir in ("Games\\Kelpmire rel", "\\Games\\Kelpmire rel", "C:Games\\Kelpmire rel", "."):
            with self.subTest(dir=win_dir):
                rc = run_setup("/silent", "/cd", win(disc), "/dir", win_dir, cwd=cwd)
                self.assertEqual(rc, 1)
                self.assertEqual(wine.log_lines()[2:], [
                    f"Install to {win_dir}",
                    "ERROR: the install folder must be a full path, such as C:\\Games\\The Kelpmire PC",
                ])
                self.assertEqual(os.listdir(cwd), [])
                self.assertFalse(os.path.exists(wine.drive_c("Games", "Kelpmire rel")))
                self.assertIsNone(wine.reg_query())


if __name__ == "__main__":
    unittest.main(verbosity=2)
