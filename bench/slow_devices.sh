#!/usr/bin/env bash
# slow_devices.sh [RUNS] [DISCCOPY...]: the disc copy when both the disc and the
# target are slow devices: the disc read at a CD drive's pace (8 MB/s) and the
# target written at a slow stick's (6 MB/s), each a FUSE file system of
# bench/slowfs.py over a memory folder. A copy that reads the next chunk while
# one is written takes about the longer of the two devices' times; one that
# reads, then writes, then reads takes their sum.
#
# For each disccopy given (default: the optimized build of this checkout in
# build/bench) and each source (the disc as a folder, as a drive is read, and
# as an ISO image), every round times three copies of a 42 MB sample disc:
#   disc     the slow disc to a memory folder      (the disc's time)
#   target   a memory copy to the slow target      (the target's time)
#   both     the slow disc to the slow target
# and prints the medians over RUNS rounds (default 3) and the median of each
# round's ratio both / max(disc, target): about 1 is the longer time alone, and
# about (disc + target) / max is the sum.
#
# Needs /dev/fuse, python3-fusepy and fuse3 (scripts/deps), and root or
# fusermount. The rates can be changed with DISC_MBPS and TARGET_MBPS.
set -euo pipefail
runs=${1:-3}
shift || true
root=$(cd "$(dirname "$0")/.." && pwd)
bdir=$root/build/bench
py=/usr/bin/python3
disc_mbps=${DISC_MBPS:-8}
target_mbps=${TARGET_MBPS:-6}

dcs=("$@")
if [ ${#dcs[@]} -eq 0 ]; then
  cmake -S "$root" -B "$bdir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-O2 -DCMAKE_C_FLAGS=-O2 >/dev/null
  cmake --build "$bdir" --target disccopy -j2 >/dev/null
  dcs=("$bdir/disccopy")
fi
[ -e /dev/fuse ] || { echo "slow_devices: /dev/fuse is missing" >&2; exit 1; }

work=$(mktemp -d /dev/shm/kelp_slow.XXXXXX)
pids=()
cleanup() {
  for m in "$work/disc_mnt" "$work/target_mnt"; do
    mountpoint -q "$m" 2>/dev/null && { fusermount3 -u "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true; }
  done
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# The sample disc: three large files and forty small ones, as on a game CD.
"$py" - "$work/disc/tree" <<'EOF'
import os, random, sys
root = sys.argv[1]
rng = random.Random(7)
files = {'DATA/A.QAR': 12000000, 'DATA/T.QAR': 9000000, 'MOVIES/INTRO.MOV': 15000000}
for i in range(40):
    files['LEVELS/L%d/PART%02d.DAT' % (i % 4, i)] = rng.randrange(20000, 300000)
for rel, size in files.items():
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(rng.randbytes(size))
EOF
xorriso -as mkisofs -quiet --norock -iso-level 2 -o "$work/disc/game.iso" "$work/disc/tree" 2>/dev/null
mkdir -p "$work/target" "$work/disc_mnt" "$work/target_mnt" "$work/fast"

mount_slow() { # root mount options...
  "$py" "$root/bench/slowfs.py" "$@" >"$work/slowfs.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    mountpoint -q "$2" && return 0
    sleep 0.1
  done
  echo "slow_devices: cannot mount $2:" >&2
  cat "$work/slowfs.log" >&2
  exit 1
}
mount_slow "$work/disc" "$work/disc_mnt" --read-only --read-mbps "$disc_mbps"
mount_slow "$work/target" "$work/target_mnt" --write-mbps "$target_mbps"

now() { date +%s.%N; }
# Times one copy in seconds; the target is removed before and after.
timed() { # disccopy source target
  rm -rf "$3"
  local t0 t1
  t0=$(now)
  "$1" "$2" "$3" >/dev/null || { echo "slow_devices: $1 $2 $3 failed" >&2; exit 1; }
  t1=$(now)
  rm -rf "$3"
  echo "$t1 - $t0" | bc -l
}
median() { sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }

mb=$(du -sm "$work/disc/tree" | cut -f1)
echo "disc of $mb MB ($(find "$work/disc/tree" -type f | wc -l) files) read at $disc_mbps MB/s, target written at $target_mbps MB/s"
declare -A t
for ((r = 0; r < runs; r++)); do
  for i in "${!dcs[@]}"; do
    for kind in folder iso; do
      if [ $kind = folder ]; then slow=$work/disc_mnt/tree fast=$work/disc/tree; else slow=$work/disc_mnt/game.iso fast=$work/disc/game.iso; fi
      d=$(timed "${dcs[$i]}" "$slow" "$work/fast/out")
      g=$(timed "${dcs[$i]}" "$fast" "$work/target_mnt/out")
      b=$(timed "${dcs[$i]}" "$slow" "$work/target_mnt/out")
      k="$i $kind"
      t[$k disc]+="$d "
      t[$k target]+="$g "
      t[$k both]+="$b "
      t[$k ratio]+="$(awk -v b="$b" -v d="$d" -v g="$g" 'BEGIN {printf "%.4f", b / (d > g ? d : g)}') "
    done
  done
done

for i in "${!dcs[@]}"; do
  echo "${dcs[$i]}: median of $runs rounds, seconds"
  for kind in folder iso; do
    k="$i $kind"
    row=()
    for f in disc target both ratio; do row+=("$(echo "${t[$k $f]}" | tr ' ' '\n' | grep . | median)"); done
    printf '  %-7s disc %6.2f  target %6.2f  both %6.2f  both / longer %5.2f  (sum / longer %4.2f)\n' \
      "$kind" "${row[0]}" "${row[1]}" "${row[2]}" "${row[3]}" \
      "$(awk -v d="${row[0]}" -v g="${row[1]}" 'BEGIN {printf "%.4f", (d + g) / (d > g ? d : g)}')"
  done
done
