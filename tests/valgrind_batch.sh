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
# Valgrind's own notes go to its logs, which are shown when the run fails. The workers run
# unconfined here: valgrind's own system calls are none a worker may make.
status=0
env OSTRELLE_TEST_ONLY_NO_SANDBOX=1 valgrind --quiet --trace-children=yes --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --suppressions="$suppressions" --log-file=valgrind.%p \
    "$program" a.png b.png "c d.png" E.PNG f.png g.png h.png abc notes.png missing.png \
    </dev/null >out.txt || status=$?
if [ "$status" != 0 ] || [ "$(grep -c '^Done!$' out.txt)" != 8 ]; then
    cat out.txt valgrind.*
    echo "valgrind: errors, or not the eight conversions expected"
    exit 1
fi
echo "valgrind: no errors on ten files"
