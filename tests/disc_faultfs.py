#!/usr/bin/python3
"""disc_faultfs.py - the disc copy on Linux from a folder served by faultfs.py
(FUSE), failing as a scratched disc does: the POSIX listing and read errors as
the setup's own reader meets them, through disccopy.

usage: disc_faultfs.py DISCCOPY WORKDIR

Fails with one line when FUSE is missing or the mount is refused.
"""
import filecmp
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import faultfs  # noqa: E402

FILE = "MAPS/WORLD1/LEVEL2.MAP"


def same_tree(a, b):
    c = filecmp.dircmp(a, b)
    if c.left_only or c.right_only or c.diff_files or c.funny_files:
        return False
    return all(same_tree(os.path.join(a, d), os.path.join(b, d)) for d in c.common_dirs)


def main(disccopy, work):
    work = os.path.abspath(work)
    disc, plan, mount = (os.path.join(work, n) for n in ("disc", "plan", "drive"))
    if not os.path.isdir(disc):
        subprocess.run(["/usr/bin/python3", os.path.join(os.path.dirname(HERE), "tools", "make_sample_disc.py"), disc],
                       check=True, stdout=subprocess.DEVNULL)
    open(plan, "w").close()
    # plan, exit code, the lines the copy logs (names below the mount, with backslashes)
    cases = [
        ("list MAPS/WORLD1 -1", 1, ["read retried: %M\\MAPS\\WORLD1", "read error in %M\\MAPS\\WORLD1"]),
        ("read %s -1" % FILE, 1, ["read retried: %M\\MAPS\\WORLD1\\LEVEL2.MAP",
                                  "read error in %M\\MAPS\\WORLD1\\LEVEL2.MAP"]),
        ("read %s 2" % FILE, 0, ["read retried: %M\\MAPS\\WORLD1\\LEVEL2.MAP"]),
        ("list MAPS/WORLD1 2", 0, ["read retried: %M\\MAPS\\WORLD1"]),
        ("open %s 2" % FILE, 0, ["read retried: %M\\MAPS\\WORLD1\\LEVEL2.MAP"]),
        ("open %s -1" % FILE, 1, ["read retried: %M\\MAPS\\WORLD1\\LEVEL2.MAP",
                                  "cannot read %M\\MAPS\\WORLD1\\LEVEL2.MAP"]),
        # The same over an earlier copy (a reinstall): the target that was there stays.
        ("open %s -1" % FILE, 1, ["read retried: %M\\MAPS\\WORLD1\\LEVEL2.MAP",
                                  "cannot read %M\\MAPS\\WORLD1\\LEVEL2.MAP"], "over a copy"),
    ]
    failed = 0
    try:
        with faultfs.mounted(disc, mount, plan):
            for text, rc_want, want, *again in cases:
                with open(plan, "w") as f:
                    f.write(text + "\n")
                out = os.path.join(work, "out")
                shutil.rmtree(out, ignore_errors=True)
                target = os.path.join(out, *FILE.split("/"))
                if again:
                    os.makedirs(os.path.dirname(target))
                    open(target, "wb").close()
                p = subprocess.run([disccopy, mount, out], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                lines = [x for x in p.stderr.decode("utf-8", "replace").splitlines() if x != "copy failed"]
                want = [w.replace("%M", mount) for w in want]
                ok = p.returncode == rc_want and lines == want and (rc_want or same_tree(disc, out))
                # A file that could not be opened leaves no target behind,
                # unless there was one before.
                if text.startswith("open") and rc_want:
                    ok = ok and os.path.exists(target) == bool(again)
                failed += not ok
                what = text + (" over a copy" if again else "")
                print(("ok   " if ok else "FAIL ") + f"{what}: exit {p.returncode}, {lines}", flush=True)
    except faultfs.MountRefused as e:
        print("FAIL " + str(e))
        return 1
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
