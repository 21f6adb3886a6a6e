#!/usr/bin/env bash
# disc_peer_check.sh DISCCOPY WORKDIR: disccopy against independent readers.
#  - Images that xorriso and genisoimage make from one tree (ISO level 1 and
#    level 2 names, a tree 16 levels deep (the setup's limit), a folder of 100
#    entries, an empty file and folder; no Joliet, no Rock Ridge): disccopy's
#    tree must equal, byte for byte, what 7-Zip and bsdtar extract.
#  - The raw Mode 1 and Mode 2 Form 1 images of our iso2bin: checked sector by
#    sector, read by bchunk and cd-info, and copied through their CUE sheets to
#    the same tree as the ISO.
#  - Nero images of our iso2nrg: read back by chdman and libcdio's cd-read,
#    and copied to the same tree as the ISO.
#  - The folder form, one level deeper failing the copy, --list, and the exit
#    codes.
set -euo pipefail
dc=$1 work=$2
root=$(cd "$(dirname "$0")/.." && pwd)
py=${PYTHON:-python3}
rm -rf "$work" && mkdir -p "$work" && cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }

"$py" "$root/tools/make_sample_disc.py" t >/dev/null
mkdir -p t/LONGNAMES t/MANY
for i in 1 2 3; do echo "long $i" > "t/LONGNAMES/A_RATHER_LONG_FILE_NAME_$i.DATA"; done
for i in $(seq 1 100); do head -c "$i" /dev/zero | tr '\0' x > "t/MANY/F$i.TXT"; done
p=t/DEEP
for i in $(seq 1 15); do p=$p/D$i; mkdir -p "$p"; echo "level $i" > "$p/AT$i.TXT"; done
echo lower > t/lower_case.txt

xorriso -as mkisofs -quiet --norock -iso-level 1 -o x1.iso t 2>/dev/null
xorriso -as mkisofs -quiet --norock -iso-level 2 -o x2.iso t 2>/dev/null
genisoimage -quiet -iso-level 1 -D -o g1.iso t
genisoimage -quiet -iso-level 2 -D -o g2.iso t

for img in x1 x2 g1 g2; do
  "$dc" "$img.iso" "ours_$img" > "out_$img.txt" || fail "disccopy $img.iso"
  [ "$(head -1 "out_$img.txt")" = "image $img.iso" ] || fail "description of $img: $(head -1 "out_$img.txt")"
  7zz x -y "-o7z_$img" "$img.iso" >/dev/null
  mkdir "bsd_$img"
  bsdtar -xf "$img.iso" -C "bsd_$img" --options 'iso9660:!rockridge,iso9660:!joliet'
  diff -r "ours_$img" "7z_$img" || fail "$img.iso differs from 7-Zip"
  diff -r "ours_$img" "bsd_$img" || fail "$img.iso differs from bsdtar"
  # The byte total is that of the files 7-Zip extracted, an independent reader.
  sum=$(find "7z_$img" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')
  [ "$(sed -n 2p "out_$img.txt")" = "$sum" ] || fail "total of $img"
  echo "ok: $img.iso equals 7-Zip and bsdtar ($(find "ours_$img" -type f | wc -l) files, $sum bytes)"
done
[ -f ours_x2/LONGNAMES/A_RATHER_LONG_FILE_NAME_1.DATA ] || fail "level 2 names"
[ -d ours_x2/EXTRAS/NOTHING ] && [ -f ours_x2/EMPTY.DAT ] || fail "empty folder or file"

for mode in 1 2; do
  "$py" "$root/tools/iso2bin.py" x2.iso "m$mode.bin" --mode "$mode" --cue "m$mode.cue"
  "$py" "$root/tests/check_raw.py" "m$mode.bin" x2.iso "$mode"
  cd-info --no-cddb --no-device-info --cue-file "m$mode.cue" 2>/dev/null | grep -q "CD-ROM with ISO 9660 filesystem" \
    || fail "cd-info does not see ISO 9660 in m$mode.cue"
  "$dc" "m$mode.cue" "ours_m$mode" > "out_m$mode.txt" || fail "disccopy m$mode.cue"
  [ "$(head -1 "out_m$mode.txt")" = "image m$mode.bin" ] || fail "description of m$mode.cue"
  diff -r ours_x2 "ours_m$mode" || fail "m$mode.cue differs from the ISO"
  "$dc" "m$mode.bin" "ours_bin$mode" >/dev/null || fail "disccopy m$mode.bin"
  diff -r ours_x2 "ours_bin$mode" || fail "m$mode.bin differs from the ISO"
done
bchunk m1.bin m1.cue bchunk >/dev/null
cmp bchunk01.iso x2.iso || fail "bchunk reads another ISO out of m1.bin"
# The checker catches a broken sector.
cp m1.bin broken.bin
printf 'X' | dd of=broken.bin bs=1 seek=$((2352 * 20 + 500)) conv=notrunc status=none
if "$py" "$root/tests/check_raw.py" broken.bin x2.iso 1 >/dev/null 2>&1; then fail "check_raw.py missed a broken sector"; fi
echo "ok: raw Mode 1 and Mode 2 Form 1 images check out and copy like the ISO"

# Nero images from our iso2nrg, read back by independent readers: chdman takes
# the DAOX chain of a version 2 image (user data, and raw Mode 2) into a CHD
# and gives the track back; libcdio's cd-read reads the ETNF and ETN2 tables of
# track-at-once images of 2336-byte sectors. Each also copies like the ISO.
"$py" "$root/tools/iso2bin.py" x2.iso pre1.bin --mode 1 --pregap 150
"$py" "$root/tools/iso2bin.py" x2.iso pre2.bin --mode 2 --pregap 150
nrg() { "$py" "$root/tools/iso2nrg.py" "$@"; }
nrg pre1.bin dao2048.nrg --src-sector 2352 --mode 1 --store 2048 --pregap 150 --version 2
nrg pre2.bin dao2352.nrg --src-sector 2352 --mode 2 --store 2352 --pregap 150 --version 2
nrg pre2.bin tao2336_v1.nrg --src-sector 2352 --mode 2 --store 2336 --pregap 150 --tao --version 1
nrg pre2.bin tao2336_v2.nrg --src-sector 2352 --mode 2 --store 2336 --pregap 150 --tao --version 2
sectors=$(($(stat -c %s x2.iso) / 2048))
for img in dao2048 dao2352; do
  chdman createcd -f -i "$img.nrg" -o "$img.chd" >/dev/null 2>&1 || fail "chdman does not take $img.nrg"
  chdman extractcd -f -i "$img.chd" -o "chd_$img.cue" -ob "chd_$img.bin" >/dev/null 2>&1 || fail "chdman extractcd $img"
done
cmp chd_dao2048.bin x2.iso || fail "chdman reads another track out of dao2048.nrg"
# The raw track without its pregap, as m2.bin holds it.
cmp chd_dao2352.bin m2.bin || fail "chdman reads another track out of dao2352.nrg"
for img in tao2336_v1 tao2336_v2; do
  cd-read --no-header --nrg-file="$img.nrg" -m m2f1 -s 0 -n "$sectors" -o "cdio_$img.iso" >/dev/null 2>&1 \
    || fail "cd-read cannot read $img.nrg"
  cmp "cdio_$img.iso" x2.iso || fail "cd-read reads another disc out of $img.nrg"
done
for img in dao2048 dao2352 tao2336_v1 tao2336_v2; do
  "$dc" "$img.nrg" "ours_$img" >/dev/null || fail "disccopy $img.nrg"
  diff -r ours_x2 "ours_$img" || fail "$img.nrg differs from the ISO"
done
echo "ok: Nero images read back by chdman and cd-read, and copied like the ISO"

# The folder form: the tree itself.
"$dc" t ours_folder > out_folder.txt || fail "disccopy of a folder"
diff -r t ours_folder || fail "folder copy"
[ "$(head -1 out_folder.txt)" = "folder t" ] || fail "folder description"
# A folder one level deeper than the setup copies fails the copy with its path.
cp -r t t17 && mkdir "$p/D16"
mv "$p/D16" "t17/${p#t/}/D16"
set +e
"$dc" t17 ours_t17 >/dev/null 2>folder17.txt; rc=$?
set -e
[ $rc = 1 ] && grep -qF "folder too deep: DEEP\D1\D2\D3\D4\D5\D6\D7\D8\D9\D10\D11\D12\D13\D14\D15\D16" folder17.txt \
  || fail "a folder 17 levels deep: exit $rc, $(cat folder17.txt)"

# --list: disc order, backslashes, sizes.
"$dc" --list x2.iso > list.txt
grep -qP '^DATA\\A\.QAR\t70000$' list.txt || fail "--list line for DATA\\A.QAR"
[ "$(grep -c . list.txt)" = "$(find ours_x2 -type f | wc -l)" ] || fail "--list count"

# Exit codes.
set +e
"$dc" >/dev/null 2>&1; [ $? = 2 ] || fail "usage error must exit 2"
"$dc" missing.iso out_missing >/dev/null 2>&1; [ $? = 1 ] || fail "a missing source must exit 1"
set -e
echo "ok: all"
