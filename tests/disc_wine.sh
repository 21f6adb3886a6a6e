#!/usr/bin/env bash
# disc_wine.sh WINE_RUN PREFIX DISCCOPY_EXE WORKDIR: the Windows build of
# disccopy, under Wine, copies a small sample disc from its ISO image, its raw
# image through the CUE sheet, and its folder, each to the tree itself.
set -euo pipefail
wine_run=$1 prefix=$2 exe=$3 work=$4
root=$(cd "$(dirname "$0")/.." && pwd)
py=${PYTHON:-python3}
rm -rf "$work" && mkdir -p "$work" && cd "$work"
work=$(pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
win() { printf 'Z:%s' "$1" | tr / '\\'; }

"$py" "$root/tools/make_sample_disc.py" t >/dev/null
bash "$root/tools/make_disc_images.sh" t img game

for src in img/game.iso img/game.cue img/game_m2.cue t; do
  out=out_$(basename "$src" | tr . _)
  "$wine_run" "$prefix" "$exe" "$(win "$work/$src")" "$(win "$work/$out")" > "$out.txt" || fail "disccopy.exe $src"
  head -1 "$out.txt" | tr -d '\r'
  diff -r t "$out" || fail "$src copied under Wine differs from the tree"
done
"$wine_run" "$prefix" "$exe" --list "$(win "$work/img/game.cue")" | tr -d '\r' > list.txt
grep -qP '^SETUP\\KMX\.EXE\t65536$' list.txt || fail "--list under Wine"
echo "ok: all"
