#!/usr/bin/env bash
# make_disc_images.sh TREE OUTDIR [NAME]: makes the images of a disc tree that the
# setup reads, all plain ISO 9660 (no Joliet, no Rock Ridge), named NAME (default
# "game") in OUTDIR:
#   NAME.iso                  xorriso, ISO level 2
#   NAME_g.iso                genisoimage, ISO level 2, deep folders allowed
#   NAME.bin, NAME.cue        raw Mode 1 image of NAME.iso and its CUE sheet
#   NAME_m2.bin, NAME_m2.cue  raw Mode 2 Form 1 image and its CUE sheet
# Needs xorriso, genisoimage and a python3 with numpy (PYTHON, default python3).
set -euo pipefail
tree=$1 out=$2 name=${3:-game}
here=$(cd "$(dirname "$0")" && pwd)
py=${PYTHON:-python3}
mkdir -p "$out"
xorriso -as mkisofs -quiet --norock -iso-level 2 -V KELPMIRE -o "$out/$name.iso" "$tree" 2>/dev/null
genisoimage -quiet -iso-level 2 -D -V KELPMIRE -o "$out/${name}_g.iso" "$tree"
"$py" "$here/iso2bin.py" "$out/$name.iso" "$out/$name.bin" --mode 1 --cue "$out/$name.cue"
"$py" "$here/iso2bin.py" "$out/$name.iso" "$out/${name}_m2.bin" --mode 2 --cue "$out/${name}_m2.cue"
