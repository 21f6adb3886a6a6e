#!/usr/bin/env bash
# disc_copy.sh [RUNS]: times copying the 500 MB sample disc out of its ISO image,
# its raw Mode 1 and Mode 2 Form 1 images (through their CUE sheets; Mode 2 also
# checks every sector's subheader for Form 2), its Nero images (raw Mode 1
# sectors, and Mode 2 sectors of 2336 bytes, every one checked), the Alcohol,
# CloneCD and DiscJuggler images of tools/iso2image.py where that tool is at
# hand, and its folder with disccopy,
# against 7-Zip, bsdtar and osirrox on the same ISO, cp -r of the folder and
# dd bs=64K of the image (the floor for a copier that moves the bytes through
# its own memory). cat and cp of the image copy inside the kernel and are shown
# for information. Prints the median of RUNS runs each (default 21), the ratios
# against the targets, and disccopy's peak memory. The commands run in turn,
# one of each per round, and each ratio is the median of its rounds' ratios, so
# that a machine whose speed drifts during the runs moves both sides alike.
#
# Each image format's copy is held against the ISO copy (<= 1.1).
#
# Uses its own optimized build without sanitizers (build/bench) and keeps the
# sample and its images in build/bench/data between runs. The page cache cannot
# be dropped here: every command runs once per round, in turn, so that all see
# the same warm cache.
set -euo pipefail
runs=${1:-21}
root=$(cd "$(dirname "$0")/.." && pwd)
bdir=$root/build/bench
data=$bdir/data
py=${PYTHON:-python3}
"$py" -c 'import numpy' 2>/dev/null || py=/usr/bin/python3

cmake -S "$root" -B "$bdir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-O2 -DCMAKE_C_FLAGS=-O2 >/dev/null
cmake --build "$bdir" --target disccopy -j2 >/dev/null
dc=$bdir/disccopy

if [ ! -f "$data/game.cue" ]; then
  echo "making the 500 MB sample disc and its images..." >&2
  rm -rf "$data" && mkdir -p "$data"
  "$py" "$root/tools/make_sample_disc.py" "$data/tree" --large
  xorriso -as mkisofs -quiet --norock -iso-level 2 -o "$data/game.iso" "$data/tree" 2>/dev/null
  "$py" "$root/tools/iso2bin.py" "$data/game.iso" "$data/game.bin" --mode 1 --cue "$data/game.cue"
fi
if [ ! -f "$data/game_m2.cue" ]; then
  "$py" "$root/tools/iso2bin.py" "$data/game.iso" "$data/game_m2.bin" --mode 2 --cue "$data/game_m2.cue"
fi
if [ ! -f "$data/game.nrg" ]; then
  "$py" "$root/tools/iso2nrg.py" "$data/game.bin" "$data/game.nrg" --src-sector 2352 --mode 1
  "$py" "$root/tools/iso2nrg.py" "$data/game_m2.bin" "$data/game_2336.nrg" --src-sector 2352 --mode 2 \
    --store 2336 --tao
fi
# The other tools' images, once their writer is in the tree.
formats=()
if [ -f "$root/tools/iso2image.py" ]; then
  [ -f "$data/game.mds" ] || "$py" "$root/tools/iso2image.py" mds "$data/game.iso" "$data/game.mds" --sector 2352
  [ -f "$data/game.ccd" ] || "$py" "$root/tools/iso2image.py" ccd "$data/game.iso" "$data/game.ccd"
  [ -f "$data/game.cdi" ] || "$py" "$root/tools/iso2image.py" cdi "$data/game.iso" "$data/game.cdi" --sector 2352
  formats=(mds ccd cdi)
fi
# The copies are written to a memory file system when there is room, so that
# the disk's writeback of earlier runs does not land in later ones' times.
outdir=$data
if [ -d /dev/shm ] && [ "$(df -Pm /dev/shm | awk 'NR == 2 {print $4}')" -gt 2048 ]; then
  outdir=$(mktemp -d /dev/shm/kelp_bench.XXXXXX)
  trap 'rm -rf "$outdir"' EXIT
fi
out=$outdir/out
echo "copies written below $outdir" >&2
# Read everything once so that the first round is not the only cold one.
cat "$data/game.iso" "$data/game.bin" "$data/game_m2.bin" "$data/game.nrg" "$data/game_2336.nrg" >/dev/null
for f in "${formats[@]}"; do cat "$data/game.$f" "$data/game".{mdf,img} 2>/dev/null >/dev/null || true; done
find "$data/tree" -type f -exec cat {} + >/dev/null

names=(disccopy_iso disccopy_bin disccopy_m2 disccopy_nrg disccopy_nrg2336 "${formats[@]/#/disccopy_}" disccopy_dir
       7zz bsdtar osirrox cp_r dd_64k cat cp)
cmd() {
  case $1 in
    disccopy_iso) "$dc" "$data/game.iso" "$out" >/dev/null ;;
    disccopy_bin) "$dc" "$data/game.cue" "$out" >/dev/null ;;
    disccopy_m2) "$dc" "$data/game_m2.cue" "$out" >/dev/null ;;
    disccopy_nrg) "$dc" "$data/game.nrg" "$out" >/dev/null ;;
    disccopy_nrg2336) "$dc" "$data/game_2336.nrg" "$out" >/dev/null ;;
    disccopy_mds | disccopy_ccd | disccopy_cdi) "$dc" "$data/game.${1#disccopy_}" "$out" >/dev/null ;;
    disccopy_dir) "$dc" "$data/tree" "$out" >/dev/null ;;
    7zz) 7zz x -y "-o$out" "$data/game.iso" >/dev/null ;;
    bsdtar) mkdir -p "$out" && bsdtar -xf "$data/game.iso" -C "$out" ;;
    osirrox) osirrox -indev "$data/game.iso" -extract / "$out" >/dev/null 2>&1 ;;
    cp_r) cp -r "$data/tree" "$out" ;;
    dd_64k) dd if="$data/game.iso" of="$out" bs=64K status=none ;;
    cat) cat "$data/game.iso" > "$out" ;;
    cp) cp "$data/game.iso" "$out" ;;
  esac
}

declare -A times round
for ((r = 0; r < runs; r++)); do
  for n in "${names[@]}"; do
    rm -rf "$out"
    sync
    t0=$(date +%s%N)
    cmd "$n"
    t1=$(date +%s%N)
    times[$n]+="$(( (t1 - t0) / 1000 )) "
    round[$n,$r]=$(( (t1 - t0) / 1000 ))
  done
done
rm -rf "$out"

median() { tr ' ' '\n' | grep . | sort -n | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
declare -A med
echo "median of $runs runs, seconds (sample: $(du -sm "$data/tree" | cut -f1) MB in $(find "$data/tree" -type f | wc -l) files)"
for n in "${names[@]}"; do
  med[$n]=$(echo "${times[$n]}" | median)
  note=""
  case $n in cat | cp) note="  (in-kernel copy, for information)" ;; esac
  printf '  %-14s %8.3f%s\n' "$n" "$(echo "${med[$n]} / 1000000" | bc -l)" "$note"
done

# The median over the rounds of the ratio of two commands' times.
ratio() {
  for ((r = 0; r < runs; r++)); do echo "${round[$1,$r]} ${round[$2,$r]}"; done |
    awk '{print $1 / $2}' | median | awk '{printf "%.3f", $1}'
}
fastest=7zz
for p in bsdtar osirrox; do
  [ "$(echo "${med[$p]} < ${med[$fastest]}" | bc)" = 1 ] && fastest=$p
done
check() { # label value limit
  local ok=met
  [ "$(echo "$2 <= $3" | bc)" = 1 ] || ok=MISSED
  printf '  %-40s %6s  (target <= %s) %s\n' "$1" "$2" "$3" "$ok"
}
echo "ratios (medians of the rounds' ratios)"
check "ISO copy / 7zz x" "$(ratio disccopy_iso 7zz)" 0.8
check "ISO copy / fastest peer ($fastest)" "$(ratio disccopy_iso "$fastest")" 1.0
check "ISO copy / dd bs=64K" "$(ratio disccopy_iso dd_64k)" 1.3
check "BIN copy / ISO copy" "$(ratio disccopy_bin disccopy_iso)" 1.1
check "Mode 2 BIN copy / ISO copy" "$(ratio disccopy_m2 disccopy_iso)" 1.1
check "Nero copy (2352) / ISO copy" "$(ratio disccopy_nrg disccopy_iso)" 1.1
check "Nero copy (2336) / ISO copy" "$(ratio disccopy_nrg2336 disccopy_iso)" 1.1
for f in "${formats[@]}"; do check "$f copy / ISO copy" "$(ratio "disccopy_$f" disccopy_iso)" 1.1; done
check "folder copy / cp -r" "$(ratio disccopy_dir cp_r)" 1.5

echo "peak memory of disccopy (maximum resident set size)"
for src in game.iso game.cue game.nrg game_2336.nrg "${formats[@]/#/game.}" tree; do
  rm -rf "$out"
  kb=$(/usr/bin/time -v "$dc" "$data/$src" "$out" 2>&1 >/dev/null | awk -F: '/Maximum resident/ {gsub(/ /, "", $2); print $2}')
  check "$src (KiB)" "$kb" 8192
done
rm -rf "$out"
