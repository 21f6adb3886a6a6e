#!/usr/bin/env bash
# make_disc_images.sh TREE OUTDIR [NAME]: makes the images of a disc tree that the
# setup reads, all plain ISO 9660 (no Joliet, no Rock Ridge), named NAME (default
# "game") in OUTDIR:
#   NAME.iso                        xorriso, ISO level 2
#   NAME_g.iso                      genisoimage, ISO level 2, deep folders allowed
#   NAME.bin, NAME.cue              raw Mode 1 image of NAME.iso and its CUE sheet
#   NAME_m2.bin, NAME_m2.cue        raw Mode 2 Form 1 image and its CUE sheet
#   NAME_pregap.bin, .cue           raw Mode 1 with a 2-second pregap stored before
#                                   the data (INDEX 00, then INDEX 01 00:02:00)
#   NAME_2448.img, .cue             raw Mode 1 with subchannel data (MODE1/2448)
#   NAME_m2_2448.img, .cue          raw Mode 2 Form 1 with subchannel data (MODE2/2448)
#   NAME_cdtext.cue                 NAME.bin in a sheet with TITLE, PERFORMER, REM
#                                   and CDTEXTFILE lines
#   NAME_lower.cue                  NAME_m2.bin in a sheet written in lower case
#   NAME.nrg                        Nero image (version 2, disc-at-once) of the
#                                   raw Mode 1 track with its pregap
# Needs xorriso, genisoimage and a python3 with numpy (PYTHON, default python3).
set -euo pipefail
tree=$1 out=$2 name=${3:-game}
here=$(cd "$(dirname "$0")" && pwd)
py=${PYTHON:-python3}
mkdir -p "$out"
xorriso -as mkisofs -quiet --norock -iso-level 2 -V KELPMIRE -o "$out/$name.iso" "$tree" 2>/dev/null
genisoimage -quiet -iso-level 2 -D -V KELPMIRE -o "$out/${name}_g.iso" "$tree"
raw() { "$py" "$here/iso2bin.py" "$out/$name.iso" "$@"; }
raw "$out/$name.bin" --mode 1 --cue "$out/$name.cue"
raw "$out/${name}_m2.bin" --mode 2 --cue "$out/${name}_m2.cue"
raw "$out/${name}_pregap.bin" --mode 1 --pregap 150 --cue "$out/${name}_pregap.cue"
raw "$out/${name}_2448.img" --mode 1 --sector 2448 --cue "$out/${name}_2448.cue"
raw "$out/${name}_m2_2448.img" --mode 2 --sector 2448 --cue "$out/${name}_m2_2448.cue"
"$py" "$here/iso2nrg.py" "$out/${name}_pregap.bin" "$out/$name.nrg" --src-sector 2352 --mode 1 --pregap 150
# Sheets only, for images made above.
PYTHONPATH=$here "$py" - "$out" "$name" <<'PY'
import os, sys
import iso2bin
out, name = sys.argv[1:3]
iso2bin.write_cue(os.path.join(out, name + "_cdtext.cue"), name + ".bin", 1, style="cdtext")
iso2bin.write_cue(os.path.join(out, name + "_lower.cue"), name + "_m2.bin", 2, style="lower")
PY
