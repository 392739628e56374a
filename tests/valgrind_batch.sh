#!/usr/bin/env bash
# Runs the program under valgrind on a batch of ten files, good and bad; fails on any memory error
# or leak outside the image library's own code. Usage: valgrind_batch.sh PROGRAM SAMPLE.png SUPPRESSIONS
set -euo pipefail
program=$1 sample=$2 suppressions=$3
command -v valgrind >/dev/null || { echo "valgrind not installed"; exit 77; }

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
for name in a.png b.png "c d.png" E.PNG f.png g.png h.png abc; do cp "$sample" "$dir/$name"; done
printf 'not an image' > "$dir/notes.png"

cd "$dir"
valgrind --quiet --trace-children=yes --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --suppressions="$suppressions" \
    "$program" a.png b.png "c d.png" E.PNG f.png g.png h.png abc notes.png missing.png \
    </dev/null >out.txt
[ "$(grep -c '^Done!$' out.txt)" = 7 ] || { cat out.txt; echo "expected seven conversions"; exit 1; }
echo "valgrind: no errors on ten files"
