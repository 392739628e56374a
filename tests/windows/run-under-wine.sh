#!/usr/bin/env bash
# Usage: run-under-wine.sh EXE TESTABLE DEF EVIL
# Runs the cross-built ostrelle.exe under wine against the stand-in DevIL.dll built here, which
# exports every name in DEF, and checks the exact output and files of a run; TESTABLE, the build
# with the test-only switches, is run where a check needs them, and starts EVIL, the stand-in for
# a taken-over worker, for the act table (acts-under-wine.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
testable=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
def=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
evil=$(cd "$(dirname "$4")" && pwd)/$(basename "$4")
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
cp "$testable" "$work/ostrelle_testable.exe"

# No wine debugger: a crash just ends the process, as it does for a user. A home of its own, as
# wine links folders of the user's home into its prefix.
mkdir -p "$work/home"
export HOME="$work/home"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
# Wine hands arguments over in the Unix locale's encoding, which must be UTF-8 here.
export LC_ALL=C.UTF-8
# Runs the program (ostrelle.exe, or $program) in the files folder (or $folder) with standard
# input at its end and sets got to its output, with Unix line ends; the program ends with status
# 0 whatever happened to the files.
run() {
    local status=0 name=${program:-ostrelle.exe}
    (cd "${folder:-$work/files}" && timeout 120 "$wine" "$work/$name" "$@" </dev/null \
        >"$work/stdout" 2>"$work/stderr") || status=$?
    got=$(tr -d '\r' <"$work/stdout")
    [ "$status" = 0 ] || fail "$name $* ended with status $status, output:"$'\n'"$got"$'\n'"$(cat "$work/stderr")"
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

# Only a run makes a worker: a marker in the environment naming pipes that another process serves
# (standard input and output, as wine numbers them) leaves the program an ordinary one.
got=$(cd "$work/files" && : | OSTRELLE_WORKER_OF="1 8 12" "$wine" ../ostrelle.exe | tr -d '\r') ||
    fail "a marker in the environment: the program ended with status $?"
[ "$got" = "$banner
Drag and drop Files to the EXE." ] || fail "a marker in the environment: output was"$'\n'"$got"
echo "wine: a worker's marker in a user's environment: passed"

# The file-system layer on its own, from its source, with the program's manifest.
root=$(cd "$here/../.." && pwd)
echo "1 24 \"$root/packaging/ostrelle.manifest\"" >"$work/manifest.rc"
x86_64-w64-mingw32-windres "$work/manifest.rc" -O coff -o "$work/manifest.res"
x86_64-w64-mingw32-g++ -std=c++17 -O1 -Wall -Wextra -Werror -static-libgcc -static-libstdc++ \
    -I"$root/src" -I"$work/include" -o "$work/fscheck.exe" "$here/fscheck.cpp" \
    "$root/src/fs_win32.cpp" "$root/src/imagesize.cpp" "$root/src/collisions.cpp" \
    "$root/src/testonly_off.cpp" \
    "$work/manifest.res"
mkdir "$work/fscheck"
(cd "$work/fscheck" && "$wine" ../fscheck.exe </dev/null | tr -d '\r' | sed 's/^/wine: /') ||
    fail "the file-system layer"

# The worker lowers its token before its first file, and a step that fails fails each file with
# the step named. Wine keeps no integrity levels: it takes the untrusted level and goes on
# reporting the old one, which the worker checks for as on Windows when told to.
sandbox='Failed to load:

The error 1284
String is the worker'"'"'s sandbox could not be applied: '
program=ostrelle_testable.exe OSTRELLE_TEST_ONLY_REFUSE_SANDBOX=1 run good.png later.png
[ "$got" = "$banner
${sandbox}OpenProcessToken: error 5 (Access denied)
${sandbox}OpenProcessToken: error 5 (Access denied)" ] || fail "a refused step: output was"$'\n'"$got"
program=ostrelle_testable.exe OSTRELLE_TEST_ONLY_STRICT_INTEGRITY=1 run good.png
[ "$got" = "$banner
${sandbox}the integrity level read back: level 0x3000, not untrusted" ] ||
    fail "the integrity level checked as on Windows: output was"$'\n'"$got"
echo "wine: a refused sandbox step, an integrity level that did not take: passed"
bash "$here/acts-under-wine.sh" "$testable" "$evil" "$work/DevIL.dll"

# Outside every ANSI code page: only the manifest's UTF-8 code page brings this name through.
# The worker is handed none of the user's environment, which the stand-in would refuse.
name='αβ-日本'
printf 'fourth' >"$work/files/$name.png"
OSTRELLE_STANDIN_REFUSE=1 run "$name.png"
[ "$got" = "$banner
$done_lines" ] || fail "UTF-8 name: output was"$'\n'"$got"
is_standin_tga "$work/files/$name.tga" || fail "$name.tga was not written"
echo "wine: a file named $name, with a variable no worker may see: passed"

# Sound names whose output names end in the middle of a character: dropping three bytes leaves
# the first byte of "é" or of "😀" before "tga", which is no UTF-8 and so names no file. Those two
# are refused when saving and leave nothing behind; the files around them convert.
cut=(Ωμέγα.png Résumé12 party😀 café.png)
mkdir "$work/files/cut"
for name in "${cut[@]}"; do
    printf 'fifth' >"$work/files/cut/$name"
done
folder=$work/files/cut run "${cut[@]}"
refused='Failed to save:

The error 1290
String is could not open file'
expected="$banner
$done_lines
$refused
$refused
$done_lines"
[ "$got" = "$expected" ] || fail "names cut in a character: output was"$'\n'"$got"
is_standin_tga "$work/files/cut/Ωμέγα.tga" || fail "Ωμέγα.tga was not written"
is_standin_tga "$work/files/cut/café.tga" || fail "café.tga was not written"
listed=$(cd "$work/files/cut" && LC_ALL=C ls -A)
[ "$listed" = "$(printf '%s\n' "${cut[@]}" Ωμέγα.tga café.tga | LC_ALL=C sort)" ] ||
    fail "names cut in a character: the folder holds"$'\n'"$listed"
echo "wine: ${cut[*]}, two of whose output names are cut in a character: passed"

# A crash in the library ends the worker, not the run: the file is reported in the run's own
# words, nothing is left of it, and the next file converts.
printf 'header ostrelle-standin-crash trailer' >"$work/files/crash.png"
printf 'third' >"$work/files/after.png"
run crash.png after.png
expected="$banner
Failed to load:

The error 1284"
[ "$(head -n 7 <<<"$got")" = "$expected" ] || fail "crash: output was"$'\n'"$got"
[ "$(sed -n 8p <<<"$got")" = "String is the image library crashed (exception 0xC0000005)" ] ||
    fail "crash: no crash text in"$'\n'"$got"
[ "$(sed -n '9,$p' <<<"$got")" = "$done_lines" ] || fail "crash: the next file was not converted:"$'\n'"$got"
[ ! -e "$work/files/crash.tga" ] || fail "crash.tga was left behind"
is_standin_tga "$work/files/after.tga" || fail "after.tga was not written"
echo "wine: a crashing file and a good one: passed"

# The run's scratch files are gone with it; the workers write into them in the user's temporary
# folder.
temp=$(echo "$WINEPREFIX"/drive_c/users/*/Temp)
[ -d "$temp" ] || fail "no temporary folder in the wine prefix"
scratch() { (cd "$temp" && ls -A | grep '^ostrelle-' || true); }
[ -z "$(scratch)" ] || fail "scratch files were left behind:"$'\n'"$(scratch)"

# The time bound and the file bound end a worker that the library keeps converting or that writes
# too much, whether it goes on (the run notices within its next look) or answers at once (the run
# notices in the answer); the next file converts all the same.
mkdir "$work/files/bounds"
printf 'ostrelle-standin-hang' >"$work/files/bounds/hang.png"
printf 'ostrelle-standin-grow' >"$work/files/bounds/grow.png"
printf 'ostrelle-standin-grow-stay' >"$work/files/bounds/stay.png"
printf 'ninth' >"$work/files/bounds/good.png"
program=ostrelle_testable.exe OSTRELLE_TEST_ONLY_SECONDS=5 folder=$work/files/bounds \
    run hang.png grow.png stay.png good.png
grew='Failed to save:

The error 1284
String is the output grew past 2049 MiB'
expected="$banner
Failed to load:

The error 1284
String is took longer than 5 s
$grew
$grew
$done_lines"
[ "$got" = "$expected" ] || fail "bounds: output was"$'\n'"$got"
listed=$(cd "$work/files/bounds" && LC_ALL=C ls -A | tr '\n' ' ')
[ "$listed" = "good.png good.tga grow.png hang.png stay.png " ] ||
    fail "bounds: the folder holds $listed"
[ -z "$(scratch)" ] || fail "bounds: scratch files were left behind:"$'\n'"$(scratch)"
echo "wine: a file past the time bound, two past the file bound, then a good one: passed"

# A file that appears at the output name while the worker converts is left as it is, and nothing
# else is left: the run never replaces a file. It is made once the run has made the scratch file
# for the output, while the stand-in takes its two seconds.
mkdir "$work/files/taken"
printf 'ostrelle-standin-slow' >"$work/files/taken/late.png"
(folder=$work/files/taken run late.png) &
for _ in $(seq 100); do
    [ -z "$(scratch)" ] || break
    sleep 0.05
done
[ -n "$(scratch)" ] || fail "taken: no scratch file was made"
printf 'theirs' >"$work/files/taken/late.tga"
wait $! || exit 1
got=$(tr -d '\r' <"$work/stdout")
expected="$banner
Failed to save:

The error 1292
String is file already exists"
[ "$got" = "$expected" ] || fail "taken: output was"$'\n'"$got"
[ "$(cat "$work/files/taken/late.tga")" = theirs ] || fail "taken: late.tga was replaced"
listed=$(cd "$work/files/taken" && LC_ALL=C ls -A | tr '\n' ' ')
[ "$listed" = "late.png late.tga " ] || fail "taken: the folder holds $listed"
echo "wine: a file that appears at the output name meanwhile: passed"

# Ctrl+C ends the run in the middle of a file, and its worker with it: the scratch file, which
# the worker holds while the library hangs, is gone once both are. The run has a session of its
# own, as a console's Ctrl+C reaches only the programs in that console.
mkdir "$work/files/interrupted"
printf 'ostrelle-standin-hang' >"$work/files/interrupted/hang.png"
(cd "$work/files/interrupted" && exec setsid "$wine" "$work/ostrelle.exe" hang.png </dev/null \
    >/dev/null 2>&1) &
pid=$!
for _ in $(seq 100); do
    [ -z "$(scratch)" ] || break
    sleep 0.05
done
sleep 0.5
kill -INT "$pid"
for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid"
    fail "interrupted: Ctrl+C did not end the run"
fi
wait "$pid" || true
for _ in $(seq 100); do
    [ -n "$(scratch)" ] || break
    sleep 0.05
done
[ -z "$(scratch)" ] || fail "interrupted: the worker outlived the run"
[ "$(ls -A "$work/files/interrupted")" = hang.png ] || fail "interrupted: something was left"
echo "wine: Ctrl+C in the middle of a file: passed"

# Ctrl+C at 20 moments of a run of eight files leaves no hidden temporary and no TGA without its
# report, and every TGA whole: the handler, on a thread of its own beside the run's, waits while the
# run makes and notes a temporary and while it names an output and prints its report. In one worker
# with a pause while each output is written but not yet named (the test build), then in two
# workers without one, where a later file's TGA may stand before its report: reports come in
# argument order.
mkdir "$work/files/ctrl-c"
ctrl_c() { # TRY WAIT [program and variables...]
    local try=$1 wait=$2 dir=$work/files/ctrl-c/$1 pid reported left name i
    shift 2
    mkdir "$dir"
    for i in 1 2 3 4 5 6 7 8; do
        printf 'ctrl-c %s' "$i" >"$dir/$i.png"
    done
    (cd "$dir" && exec setsid env "$@" "$wine" "$work/ostrelle_testable.exe" 1.png 2.png 3.png \
        4.png 5.png 6.png 7.png 8.png </dev/null >"$dir.out" 2>/dev/null) &
    pid=$!
    # From the run's first scratch file on, as wine takes its own time to start a program.
    for _ in $(seq 200); do
        [ -z "$(scratch)" ] || break
        sleep 0.02
    done
    sleep "$wait"
    kill -INT "$pid" 2>/dev/null || true
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && { kill -KILL "$pid"; fail "Ctrl+C, try $try: the run did not end"; }
    wait "$pid" || true
    # Wine closes the run's files a moment after it has ended.
    sleep 0.3
    reported=$(tr -d '\r' <"$dir.out" | grep -c '^Done!$' || true)
    left=$(cd "$dir" && LC_ALL=C ls -A | { grep -v '\.png$' || true; } | tr '\n' ' ')
    [[ "$left" != *.part* ]] || fail "Ctrl+C, try $try after $wait s: a temporary was left: $left"
    for name in $left; do
        is_standin_tga "$dir/$name" || fail "Ctrl+C, try $try after $wait s: $name is not whole"
        if [ "$strict" = 1 ] && [ "${name%.tga}" -gt "$reported" ]; then
            fail "Ctrl+C, try $try after $wait s: $name without its report ($reported reported)"
        fi
    done
    if [ "$strict" = 1 ] && [ "$(wc -w <<<"$left")" != "$reported" ]; then
        fail "Ctrl+C, try $try after $wait s: $reported reports, but the folder holds $left"
    fi
    counts+=("$reported")
}
counts=()
strict=1
for try in $(seq 1 14); do
    ctrl_c "$try" "$(awk "BEGIN { print ($try - 1) * 0.07 }")" OSTRELLE_TEST_ONLY_WORKERS=1 \
        OSTRELLE_TEST_ONLY_PUBLISH_PAUSE_MS=150
done
strict=0
for try in $(seq 15 20); do
    ctrl_c "$try" "$(awk "BEGIN { print ($try - 15) * 0.06 }")" OSTRELLE_TEST_ONLY_WORKERS=2 \
        OSTRELLE_TEST_ONLY_PUBLISH_PAUSE_MS=60
done
[ -z "$(scratch)" ] || fail "Ctrl+C: scratch files were left behind:"$'\n'"$(scratch)"
# Nor a worker: one the run had started but not yet put into its job would outlive it. Workers
# are the test build started without arguments.
workers_left() {
    local cmdline want="Z:${work//\//\\}\\ostrelle_testable.exe" n=0
    for cmdline in /proc/[0-9]*/cmdline; do
        [ "$(tr '\0' '\n' <"$cmdline" 2>/dev/null | head -n 2)" != "$want" ] || n=$((n + 1))
    done
    echo "$n"
}
for _ in $(seq 50); do
    [ "$(workers_left)" = 0 ] && break
    sleep 0.1
done
[ "$(workers_left)" = 0 ] || fail "Ctrl+C: $(workers_left) workers outlived their runs"
echo "wine: Ctrl+C at 20 moments (reports printed before: ${counts[*]}) left no temporary and no" \
    "TGA without its report: passed"

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
# As many workers as cores first, then the one worker a run keeps when it has one core. The
# shipped program has no test-only switches: it ignores them.
OSTRELLE_TEST_ONLY_WORKERS=1 OSTRELLE_TEST_ONLY_STATS=$work/stats run "${good[@]}"
[ "$(grep -c '^Done!$' <<<"$got")" = 25 ] || fail "25 good files in parallel: output was"$'\n'"$got"
[ ! -e "$work/stats" ] || fail "the shipped program obeyed a test-only switch"
rm "$work"/files/many/*.tga
export program=ostrelle_testable.exe OSTRELLE_TEST_ONLY_WORKERS=1
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
unset program OSTRELLE_TEST_ONLY_WORKERS
echo "wine: 25 files in parallel, 25 in one worker, a crash among good files in three: passed"

# Names that Windows takes for one beyond ASCII make the run go one file at a time, as do two
# names of one file, whether they differ in case or are hard links; where the two outputs are one
# file, the later one finds it taken. Names that differ in more convert side by side.
mkdir "$work/files/fold" "$work/files/fold/one" "$work/files/fold/two"
for name in Ä.png Ö.png ö.png Ü.png one/r.png; do
    printf 'fold' >"$work/files/fold/$name"
done
ln "$work/files/fold/one/r.png" "$work/files/fold/two/h.png"
taken='Failed to save:

The error 1292
String is file already exists'
rm -f "$work/stats"
for pair in 'Ä.png ä.PNG taken' 'Ö.png ö.png taken' 'one/r.png two/h.png done' 'Ä.png Ü.png done'; do
    read -r first second outcome <<<"$pair"
    rm -f "$work"/files/fold/*.tga "$work"/files/fold/*/*.tga
    program=ostrelle_testable.exe OSTRELLE_TEST_ONLY_WORKERS=2 OSTRELLE_TEST_ONLY_STATS=$work/stats \
        folder=$work/files/fold run "$first" "$second"
    second_report=$taken
    [ "$outcome" = taken ] || second_report=$done_lines
    [ "$got" = "$banner
$done_lines
$second_report" ] || fail "$first and $second: output was"$'\n'"$got"
done
stats=$(tr -d '\r' <"$work/stats")
[ "$stats" = "workers started: 1
workers started: 1
workers started: 1
workers started: 2" ] || fail "workers started for Ä.png ä.PNG, Ö.png ö.png, a hard link, Ä.png Ü.png:"$'\n'"$stats"
echo "wine: Ä.png ä.PNG, Ö.png ö.png and a hard link one at a time, Ä.png Ü.png side by side: passed"

# An input that another program holds without sharing, as a virus scanner does a file just
# dropped, converts once it is let go: here 300 ms after the run has made its scratch file.
mkdir "$work/files/held"
printf 'held' >"$work/files/held/held.png"
(cd "$work/files/held" && exec "$wine" ../../fscheck.exe hold held.png </dev/null >/dev/null 2>&1) &
holder=$!
for _ in $(seq 200); do
    [ ! -e "$work/files/held/holding" ] || break
    sleep 0.05
done
[ -e "$work/files/held/holding" ] || fail "held: the file was not held"
folder=$work/files/held run held.png
wait "$holder" || fail "held: the holder saw no run"
[ "$got" = "$banner
$done_lines" ] || fail "held: output was"$'\n'"$got"
is_standin_tga "$work/files/held/held.tga" || fail "held: held.tga was not written"
echo "wine: an input held by another program meanwhile: passed"

# Paths past Windows' old 260 characters, relative and absolute. Wine has no such bound, so this
# shows only that the program's own long form of a path reaches the file.
deep=$work/files/deep
for _ in 1 2 3 4 5; do
    deep=$deep/$(printf 'd%.0s' $(seq 60))
done
mkdir -p "$deep"
printf 'deep' >"$deep/x.png"
printf 'deep' >"$deep/y.png"
relative=${deep#"$work/files/"}
run "$relative/x.png" "$deep/y.png"
[ "$got" = "$banner
$done_lines
$done_lines" ] || fail "long paths: output was"$'\n'"$got"
is_standin_tga "$deep/x.tga" && is_standin_tga "$deep/y.tga" || fail "long paths: no TGA written"
echo "wine: files at paths of ${#relative} and ${#deep} characters: passed"

# A file named in the device namespaces, \\?\Z:\... or \\.\Z:\..., as a program may hand over a
# path, converts as any other; wine's Z: is the root of the Unix file system.
mkdir "$work/files/spaces"
printf 'verbatim' >"$work/files/spaces/v.png"
printf 'device' >"$work/files/spaces/d.png"
full="Z:${work//\//\\}\\files\\spaces"
run "\\\\?\\$full\\v.png" "\\\\.\\$full\\d.png"
[ "$got" = "$banner
$done_lines
$done_lines" ] || fail "\\\\?\\ and \\\\.\\ paths: output was"$'\n'"$got"
is_standin_tga "$work/files/spaces/v.tga" && is_standin_tga "$work/files/spaces/d.tga" ||
    fail "\\\\?\\ and \\\\.\\ paths: no TGA written"
echo "wine: \\\\?\\$full\\v.png and \\\\.\\$full\\d.png: passed"

# Without the manifest's UTF-8 code page, as on Windows before 10 1903, the arguments in the ANSI
# code page would turn this name into another; the program takes them in UTF-16 instead. The copy
# has the element turned into a comment of the same length, so that nothing else in it moves.
element='<activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings">UTF-8</activeCodePage>'
comment="<!--$(printf '%*s' $((${#element} - 7)) '')-->"
LC_ALL=C sed "s|$element|$comment|" "$work/ostrelle.exe" >"$work/ostrelle_ansi.exe"
[ "$(grep -c activeCodePage "$work/ostrelle_ansi.exe" || true)" = 0 ] &&
    [ "$(stat -c %s "$work/ostrelle.exe")" = "$(stat -c %s "$work/ostrelle_ansi.exe")" ] ||
    fail "the copy without the UTF-8 code page was not made"
name='αβ-日本-ansi'
printf 'ansi' >"$work/files/$name.png"
program=ostrelle_ansi.exe run "$name.png"
[ "$got" = "$banner
$done_lines" ] || fail "a name outside the ANSI code page: output was"$'\n'"$got"
is_standin_tga "$work/files/$name.tga" || fail "$name.tga was not written"
echo "wine: $name.png without the UTF-8 code page: passed"
