#!/usr/bin/env bash
# silent_install.sh [RUNS]: times the silent install of the 500 MB sample disc
# from its ISO image under Wine against Wine's own copy of the image file into
# the same prefix (cmd's copy: the limit of moving those bytes in the same
# environment), side by side, and prints the medians, the median of the runs'
# ratios and the setup's peak memory. The setup is the win64 preset's build (or
# the one named by SETUP). The prefix, and so both copies, lie in a memory
# folder when there is room, so that the disk's writeback stays out of the
# times.
set -euo pipefail
runs=${1:-11}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/display.sh
py=/usr/bin/python3
data=$root/build/bench/data
setup=${SETUP:-$root/build/win64/kelpmire_setup.exe}
[ -f "$setup" ] || { cmake --preset win64 >/dev/null && cmake --build --preset win64 --target kelpmire_setup >/dev/null; }
if [ ! -f "$data/game.iso" ]; then
  echo "making the 500 MB sample disc and its image..." >&2
  mkdir -p "$data"
  rm -rf "$data/tree"
  "$py" tools/make_sample_disc.py "$data/tree" --large
  xorriso -as mkisofs -quiet --norock -iso-level 2 -o "$data/game.iso" "$data/tree" 2>/dev/null
fi
prefix=$root/build/bench/prefix
if [ -d /dev/shm ] && [ "$(df -Pm /dev/shm | awk 'NR == 2 {print $4}')" -gt 4096 ]; then
  prefix=/dev/shm/kelp_bench_prefix.$(printf %s "$root" | cksum | cut -d" " -f1)
fi
export WINEPREFIX=$prefix WINEDEBUG=-all HOME=$prefix.home
win() { printf 'Z:%s' "$1" | tr / '\\'; }
iso=$(win "$data/game.iso")
scripts/wine-run "$prefix" cmd /c exit >/dev/null 2>&1 || true   # makes the prefix
# One Wine server for all runs: otherwise whether a run finds the server of the
# run before still up (kept by a desktop process that run started) or starts
# its own decides more of its time than what it runs.
wineserver -k 2>/dev/null || true
wineserver -p
trap 'wineserver -k 2>/dev/null || true; kill "${kelp_xvfb_pid:-}" 2>/dev/null || true' EXIT

now() { date +%s.%N; }
median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
setup_t=() copy_t=() ratio_t=() rss=()
for i in $(seq "$runs"); do
  rm -rf "$prefix/drive_c/bench"
  mkdir -p "$prefix/drive_c/bench"
  t0=$(now)
  scripts/wine-run "$prefix" cmd /c copy /y "$iso" 'C:\bench\game.iso' >/dev/null
  t1=$(now)
  copy_t+=("$(echo "$t1 - $t0" | bc)")
  rm -rf "$prefix/drive_c/bench"
  t0=$(now)
  /usr/bin/time -f %M -o "$prefix.rss" scripts/wine-run "$prefix" "$setup" /silent /nodesktop /nostartmenu \
    /cd "$iso" /dir 'C:\bench\Kelpmire' || { echo "the install failed" >&2; exit 1; }
  t1=$(now)
  setup_t+=("$(echo "$t1 - $t0" | bc)")
  ratio_t+=("$(echo "${setup_t[-1]} / ${copy_t[-1]}" | bc -l)")
  rss+=("$(cat "$prefix.rss")")
done
rm -rf "$prefix/drive_c/bench"
s=$(printf '%s\n' "${setup_t[@]}" | median)
c=$(printf '%s\n' "${copy_t[@]}" | median)
m=$(printf '%s\n' "${rss[@]}" | sort -n | tail -1)
echo "median of $runs runs, seconds (the ISO: $(du -m "$data/game.iso" | cut -f1) MB)"
printf '  %-34s %6.3f\n' "setup /silent from the ISO" "$s" "cmd copy of the ISO (same prefix)" "$c"
printf '  %-34s %6.3f  (target <= 1.2)\n' "ratio (median of the runs' ratios)" \
  "$(printf '%s\n' "${ratio_t[@]}" | median)"
echo "  peak resident memory of the setup's Wine process: $m KiB"
