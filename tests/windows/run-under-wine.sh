#!/usr/bin/env bash
# Usage: run-under-wine.sh EXE DEF
# Runs the cross-built ostrelle.exe under wine against the stand-in DevIL.dll built here, which
# exports every name in DEF, and checks the exact output and files of a run.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
def=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
work=$(dirname "$exe")/wine-run

fail() {
    echo "wine: FAILED: $*" >&2
    exit 1
}

wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
[ -x "$wine" ] || fail "wine is not installed"
rm -rf "$work"
mkdir -p "$work/files"

# The stand-in exports every listed name; those it does not define fall back to a stub.
{
    echo "LIBRARY DevIL.dll"
    echo "EXPORTS"
    sed -n '/^EXPORTS/,$p' "$def" | sed '1d; s/;.*//; s/[[:space:]]//g; /^$/d' |
        while read -r name; do
            if grep -q "ILAPIENTRY $name(" "$here/devil_standin.c"; then
                echo "$name"
            else
                echo "$name = standinMissing"
            fi
        done
} >"$work/standin.def"
mkdir -p "$work/include/IL"
cp /usr/include/IL/il.h "$work/include/IL/"
x86_64-w64-mingw32-gcc -shared -O1 -Wall -Wextra -Werror -I"$work/include" \
    -o "$work/DevIL.dll" "$here/devil_standin.c" "$work/standin.def"
cp "$exe" "$work/ostrelle.exe"

# No wine debugger: a crash just ends the process, as it does for a user.
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
# Wine hands arguments over in the Unix locale's encoding, which must be UTF-8 here.
export LC_ALL=C.UTF-8
# Runs the program in the files folder with standard input at its end and sets got to its output,
# with Unix line ends; the program ends with status 0 whatever happened to the files.
run() {
    local status=0
    (cd "$work/files" && timeout 120 "$wine" ../ostrelle.exe "$@" </dev/null >"$work/stdout" \
        2>"$work/stderr") || status=$?
    got=$(tr -d '\r' <"$work/stdout")
    [ "$status" = 0 ] || fail "ostrelle.exe $* ended with status $status, output:"$'\n'"$got"$'\n'"$(cat "$work/stderr")"
}

banner='Ostrelle by Quorvane.
https://quorvane.example | https://ostrelle.quorvane.example
WARNING: This Executable and "brindlet.bat" must come from https://store.quorvane.example, because otherwise, you might have a Virus.
'
done_lines='Done!
Press any key to continue.'

# True when $1 is the stand-in's TGA: true colour, 1x1, 32 bits a pixel.
is_standin_tga() {
    [ -f "$1" ] && [ "$(od -An -tu1 -j2 -N1 "$1" | tr -d ' ')" = 2 ] &&
        [ "$(od -An -tu2 -j12 -N4 "$1" | tr -s ' ')" = " 1 1" ] &&
        [ "$(od -An -tu1 -j16 -N1 "$1" | tr -d ' ')" = 32 ]
}

printf 'first' >"$work/files/good.png"
printf 'second' >"$work/files/later.png"
run good.png missing.png later.png
expected="$banner
$done_lines
Failed to load:

The error 1290
String is could not open file
$done_lines"
[ "$got" = "$expected" ] || fail "good, missing, good: output was"$'\n'"$got"
is_standin_tga "$work/files/good.tga" || fail "good.tga was not written"
is_standin_tga "$work/files/later.tga" || fail "later.tga was not written"
[ ! -e "$work/files/missing.tga" ] || fail "missing.tga was written"
echo "wine: a good, a missing and a good file: passed"

# Outside every ANSI code page: only the manifest's UTF-8 code page brings this name through.
name='αβ-日本'
printf 'fourth' >"$work/files/$name.png"
run "$name.png"
[ "$got" = "$banner
$done_lines" ] || fail "UTF-8 name: output was"$'\n'"$got"
is_standin_tga "$work/files/$name.tga" || fail "$name.tga was not written"
echo "wine: a file named $name: passed"

# A crash in the library can only be survived by a worker process, which the
# executable has when it starts processes of its own.
headers=$(x86_64-w64-mingw32-objdump -p "$exe")
if ! grep -Eq '[[:space:]]CreateProcess[AW]$' <<<"$headers"; then
    echo "wine: crashing file SKIPPED (this build converts in its own process)"
    exit 0
fi
printf 'header ostrelle-standin-crash trailer' >"$work/files/crash.png"
printf 'third' >"$work/files/after.png"
run crash.png after.png
expected="$banner
Failed to load:

The error 1284"
[ "$(head -n 7 <<<"$got")" = "$expected" ] || fail "crash: output was"$'\n'"$got"
grep -Eiq '^String is .*crash' <<<"$(sed -n 8p <<<"$got")" || fail "crash: no crash text in"$'\n'"$got"
[ "$(sed -n '9,$p' <<<"$got")" = "$done_lines" ] || fail "crash: the next file was not converted:"$'\n'"$got"
[ ! -e "$work/files/crash.tga" ] || fail "crash.tga was left behind"
is_standin_tga "$work/files/after.tga" || fail "after.tga was not written"
echo "wine: a crashing file and a good one: passed"

# One worker serves a whole run. A crash ends it, and the crashing file is tried once more in a
# fresh worker, so that its report does not depend on the files before it; the files after it
# need a third.
mkdir "$work/files/many"
good=()
for i in $(seq -w 1 25); do
    printf 'good %s' "$i" >"$work/files/many/$i.png"
    good+=("many/$i.png")
done
printf 'ostrelle-standin-crash' >"$work/files/many/crash.png"
# As many workers as cores first, then the one worker a run keeps when it has one core.
run "${good[@]}"
[ "$(grep -c '^Done!$' <<<"$got")" = 25 ] || fail "25 good files in parallel: output was"$'\n'"$got"
rm "$work"/files/many/*.tga
export OSTRELLE_TEST_ONLY_WORKERS=1
OSTRELLE_TEST_ONLY_STATS=$work/stats run "${good[@]}"
[ "$(grep -c '^Done!$' <<<"$got")" = 25 ] || fail "25 good files: output was"$'\n'"$got"
rm "$work"/files/many/*.tga
OSTRELLE_TEST_ONLY_STATS=$work/stats run many/01.png many/02.png many/crash.png many/03.png
expected="$banner
$done_lines
$done_lines
Failed to load:

The error 1284
String is the image library crashed (exception 0xC0000005)
$done_lines"
[ "$got" = "$expected" ] || fail "good, good, crash, good: output was"$'\n'"$got"
for i in 01 02 03; do
    is_standin_tga "$work/files/many/$i.tga" || fail "many/$i.tga was not written"
done
stats=$(tr -d '\r' <"$work/stats")
[ "$stats" = "workers started: 1
workers started: 3" ] || fail "workers started, 25 good files, then a crash among good ones:"$'\n'"$stats"
unset OSTRELLE_TEST_ONLY_WORKERS
echo "wine: 25 files in parallel, 25 in one worker, a crash among good files in three: passed"
