#!/usr/bin/env bash
# Usage: release-under-wine.sh ZIP TESTABLE EVIL
# Unpacks the Windows download into a fresh folder and checks its own files: the layout, the
# executable and DLL import tables, and under wine the conversions a user would make. TESTABLE,
# the program's build with the test-only switches, runs beside the zip's DLL where a check needs
# them, and starts EVIL, the stand-in for a taken-over worker, for the act table. Each check
# is a check_* function run in the order of the list at the end; to add one, write it and list it.
# PngSuite comes from OSTRELLE_PNGSUITE (default ../shared/pngsuite beside the project).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
zip=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
testable=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
evil=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
work=$(dirname "$zip")/wine
app=$work/app
suite=${OSTRELLE_PNGSUITE:-$root/../shared/pngsuite}
def=$root/packaging/devil.def

fail() {
    echo "wine: FAILED: $*" >&2
    exit 1
}

wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
[ -x "$wine" ] || fail "wine is not installed"
rm -rf "$work"
mkdir -p "$app"
unzip -q "$zip" -d "$app"
g++ -std=c++17 -O1 -Wall -Wextra -Werror -DOSTRELLE_BIN='"ostrelle.exe"' -I"$root/tests" \
    -o "$work/wincheck" "$here/wincheck.cpp" "$root/tests/support.cpp" \
    -lpng -lz

# No wine debugger: a crash just ends the process, as it does for a user. The prefix outlives the
# run: making one takes about 5 s of the 20 s the checks take.
export WINEPREFIX="$(dirname "$zip")/wine-prefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
# Wine hands arguments over in the Unix locale's encoding, which must be UTF-8 here.
export LC_ALL=C.UTF-8

# A fresh folder for one check's files; prints its path.
fresh() {
    mkdir -p "$work/files/$1"
    echo "$work/files/$1"
}

# Runs the unpacked ostrelle.exe (or $program) in folder $1 on the other arguments, standard
# input at its end, and sets got to its output with Unix line ends and reports to the first line
# of each file's report; the program ends with status 0 whatever happened to the files.
run() {
    local dir=$1 status=0 program=${program:-$app/ostrelle.exe}
    shift
    (cd "$dir" && timeout 300 "$wine" "$program" "$@" </dev/null >"$work/stdout" \
        2>"$work/stderr") || status=$?
    got=$(tr -d '\r' <"$work/stdout")
    [ "$status" = 0 ] || fail "$program $* ended with status $status, output:"$'\n'"$got"$'\n'"$(cat "$work/stderr")"
    mapfile -t reports < <(sed '1,4d' <<<"$got" | grep -E '^(Done!|Failed to )' || true)
    [ "${#reports[@]}" = $# ] || fail "$# files gave ${#reports[@]} reports:"$'\n'"$got"
}

# True when TGA $2 holds exactly the pixels of PNG $1 in the program's profile; says why not.
same() {
    "$work/wincheck" compare "$1" "$2"
}

check_layout() {
    local expected listed patches
    # Every patch the DLL was built with, as packaging/devil holds them.
    patches=$(cd "$root/packaging/devil" && find . -name '*.patch' | sed 's|^\./|licenses/devil-patches/|' |
        LC_ALL=C sort)
    expected="DevIL.dll
README.txt
licenses/DevIL-COPYING.txt
licenses/DevIL-source.txt
licenses/Ostrelle-LICENSE.txt
$patches
licenses/libjpeg-turbo-LICENSE.md
licenses/libjpeg-turbo-README.ijg
licenses/libpng-LICENSE.txt
licenses/zlib-LICENSE.txt
ostrelle.exe"
    listed=$(cd "$app" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
    [ "$listed" = "$expected" ] || fail "the zip holds"$'\n'"$listed"$'\n'"instead of"$'\n'"$expected"
    grep -q 'a2d9193fed0c7f93519c0c4c28b3348e0cb5759b' "$app/licenses/DevIL-source.txt" ||
        fail "DevIL-source.txt does not name the upstream commit"

    bash "$root/.ci/inspect-windows-exe.sh" "$app/ostrelle.exe" "$def"
    # The DLL brings its codecs inside: it may import from nothing a Windows does not have, and
    # must export everything the program calls.
    local headers dlls name
    headers=$(x86_64-w64-mingw32-objdump -p "$app/DevIL.dll")
    dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | sort -u)
    while read -r name; do
        grep -Eiq '^(kernel32|msvcrt|user32|advapi32)\.dll$' <<<"$name" ||
            fail "DevIL.dll imports from $name, which is not part of Windows"
    done <<<"$dlls"
    while read -r name; do
        grep -Eq "^[[:space:]]+\[ *[0-9]+\] $name\$" <<<"$headers" ||
            fail "DevIL.dll does not export $name"
    done < <(sed -n '/^EXPORTS/,$p' "$def" | sed '1d; s/;.*//; s/[[:space:]]//g; /^$/d')
    echo "wine: zip layout, ostrelle.exe and DevIL.dll (imports" $dlls"): passed"
}

# Every valid PngSuite image converts exactly and every corrupt one is refused with nothing written.
check_pngsuite() {
    if [ ! -d "$suite/png" ]; then
        echo "wine: PngSuite SKIPPED (PngSuite is not at $suite)"
        return
    fi
    local dir names i stem valid=0 exact=0 corrupt=0 refused=0
    dir=$(fresh pngsuite)
    cp "$suite"/png/*.png "$dir/"
    chmod u+w "$dir"/*.png
    mapfile -t names < <(cd "$dir" && LC_ALL=C ls -- *.png)
    run "$dir" "${names[@]}"
    for i in "${!names[@]}"; do
        stem=${names[i]%.png}
        if [[ $stem == x* ]]; then
            corrupt=$((corrupt + 1))
            if [ "${reports[i]}" = "Failed to load:" ] && [ ! -e "$dir/$stem.tga" ]; then
                refused=$((refused + 1))
            else
                echo "${names[i]}: ${reports[i]}, not refused"
            fi
        else
            valid=$((valid + 1))
            [ "${reports[i]}" = "Done!" ] || echo "${names[i]}: ${reports[i]}"
            [ "${reports[i]}" = "Done!" ] && same "$dir/${names[i]}" "$dir/$stem.tga" &&
                exact=$((exact + 1))
        fi
    done
    echo "wine: PngSuite: $exact of $valid exact, $refused of $corrupt refused"
    # A partial copy of the suite would pass unnoticed otherwise.
    [ "$valid" = 161 ] && [ "$corrupt" = 14 ] || fail "PngSuite is incomplete at $suite"
    [ "$exact" = "$valid" ] && [ "$refused" = "$corrupt" ] || fail "PngSuite"
}

# An icon whose PNG's size wraps the library's 32-bit arithmetic, which crashed DevIL as released,
# is refused, nothing is left of it, and the next file converts; that one is an icon holding a PNG
# with a gAMA chunk, which must load as stored too.
check_crash() {
    local dir
    dir=$(fresh crash)
    "$work/wincheck" files "$dir"
    run "$dir" good.png crash.ico linear.ico
    [ "${reports[*]}" = "Done! Failed to load: Done!" ] || fail "crash: output was"$'\n'"$got"
    # The icon crashed DevIL 1.8.0 as released; our mend of its icon reader refuses it instead.
    ! grep -Eq '^String is .*crash' <<<"$got" ||
        fail "crash: the library still crashes on it:"$'\n'"$got"
    [ ! -e "$dir/crash.tga" ] || fail "crash.tga was left behind"
    same "$dir/good.png" "$dir/good.tga" && same "$dir/good.png" "$dir/linear.tga" ||
        fail "crash: the files around it did not convert exactly"
    echo "wine: a good file, an icon that crashed the library and is now refused, a linear PNG icon: passed"
}

# The DLL's own TGA writer, without the program's repair of the header, as other programs use it.
check_dll_alone() {
    local dir
    dir=$(fresh dll)
    "$work/wincheck" files "$dir"
    mkdir -p "$dir/include/IL"
    cp /usr/include/IL/il.h "$dir/include/IL/"
    printf '%s\n' '#include <IL/il.h>' 'int main(int argc, char **argv) {' '    ilInit();' \
        '    return argc == 3 && ilLoadImage(argv[1]) && ilSaveImage(argv[2]) ? 0 : 1;' '}' \
        >"$dir/save.c"
    x86_64-w64-mingw32-gcc -Wall -Werror -I"$dir/include" -o "$dir/save.exe" "$dir/save.c" \
        "$app/DevIL.dll"
    cp "$app/DevIL.dll" "$dir/"
    (cd "$dir" && "$wine" save.exe good.png good.tga </dev/null >/dev/null 2>&1) ||
        fail "DevIL.dll alone did not convert good.png"
    # DevIL's own header and trailer differ from the program's; rows and their origin bit may not.
    "$work/wincheck" pixels "$dir/good.png" "$dir/good.tga" || fail "DevIL.dll's own TGA writer"
    echo "wine: DevIL.dll alone, load and save: passed"
}

# Outside every ANSI code page and in a folder with a space: only the manifest's UTF-8 code page
# brings such a name through.
check_unicode_name() {
    local dir name='αβ-日本'
    dir=$(fresh "with space")
    "$work/wincheck" files "$dir"
    mv "$dir/good.png" "$dir/$name.png"
    run "$dir" "$name.png"
    [ "${reports[*]}" = "Done!" ] || fail "$name.png: output was"$'\n'"$got"
    same "$dir/$name.png" "$dir/$name.tga" || fail "$name.png did not convert exactly"
    echo "wine: $name.png in a folder with a space: passed"
}

# One worker serves many files with the real library, is replaced after a crash, and several
# workers share a run when the process may use several cores. The test build counts the workers,
# beside the zip's DLL; the zip's own program ignores the switch.
check_workers() {
    local dir i names=()
    dir=$(fresh workers)
    "$work/wincheck" files "$dir"
    for i in $(seq -w 1 24); do
        cp "$dir/good.png" "$dir/$i.png"
        names+=("$i.png")
    done
    OSTRELLE_TEST_ONLY_STATS="$dir/stats" run "$dir" 01.png
    [ ! -e "$dir/stats" ] || fail "workers: the zip's program obeyed a test-only switch"
    rm "$dir/01.tga"
    mkdir -p "$work/testable"
    cp "$testable" "$evil" "$app/DevIL.dll" "$work/testable/"
    export program=$work/testable/$(basename "$testable")
    # The stand-in worker converts as the program's own does, and crashes on a file named .crash.
    cp "$dir/good.png" "$dir/x.crash"
    OSTRELLE_TEST_ONLY_WORKERS=1 OSTRELLE_TEST_ONLY_STATS="$dir/stats" \
        OSTRELLE_TEST_ONLY_WORKER_PROGRAM="Z:$(tr / '\\' <<<"$work/testable/$(basename "$evil")")" \
        run "$dir" "${names[@]:0:12}" x.crash "${names[@]:12}"
    [ "$(tr -d '\r' <"$dir/stats")" = "workers started: 3" ] ||
        fail "workers: 24 files and a crash took $(cat "$dir/stats"), not 3"
    [ "$(grep -c '^Done!$' <<<"$got")" = 24 ] || fail "workers: output was"$'\n'"$got"
    rm "$dir"/[0-9]*.tga "$dir/stats"
    OSTRELLE_TEST_ONLY_STATS="$dir/stats" run "$dir" "${names[@]}"
    [ "$(grep -c '^Done!$' <<<"$got")" = 24 ] || fail "workers: output was"$'\n'"$got"
    unset program
    for i in "${names[@]}"; do
        same "$dir/$i" "$dir/${i%png}tga" || fail "workers: $i did not convert exactly"
    done
    echo "wine: 24 files in one worker and a crash among them in three, then in $(tr -d '\r' <"$dir/stats" | cut -d' ' -f3) workers: passed"
}

# Sound names whose output names end in the middle of a character (the first byte of "é" or "😀"
# before "tga", which is no UTF-8) are refused when saving and leave nothing behind; the files
# around them convert, the two without an ending found to be PNG by their contents.
check_cut_names() {
    local dir name names=(Ωμέγα.png Résumé12 party😀 café.png) listed
    dir=$(fresh cut)
    "$work/wincheck" files "$dir"
    for name in "${names[@]}"; do
        cp "$dir/good.png" "$dir/$name"
    done
    rm "$dir"/good.png "$dir"/*.ico
    run "$dir" "${names[@]}"
    [ "${reports[*]}" = "Done! Failed to save: Failed to save: Done!" ] ||
        fail "cut names: output was"$'\n'"$got"
    [ "$(grep -c '^The error 1290$' <<<"$got")" = 2 ] || fail "cut names: output was"$'\n'"$got"
    same "$dir/Ωμέγα.png" "$dir/Ωμέγα.tga" && same "$dir/café.png" "$dir/café.tga" ||
        fail "cut names: the files around them did not convert exactly"
    listed=$(cd "$dir" && LC_ALL=C ls -A)
    [ "$listed" = "$(printf '%s\n' "${names[@]}" Ωμέγα.tga café.tga | LC_ALL=C sort)" ] ||
        fail "cut names: the folder holds"$'\n'"$listed"
    echo "wine: ${names[*]}, two of whose output names are cut in a character: passed"
}

# The zip writes the same bytes as the Linux build, whose library is built from the same source
# and patches: every file of the formats test (every kind the library reads, as Pillow,
# ImageMagick and GraphicsMagick write them, broken ones too), every PngSuite image and every XPM
# icon Debian ships, where they are at hand. OSTRELLE_LINUX_PROGRAM names the Linux build; without
# one the check says so.
check_same_as_linux() {
    local linux=${OSTRELLE_LINUX_PROGRAM:-} dir names i same=0 files=0 tga
    if [ -z "$linux" ] || [ ! -x "$linux" ]; then
        echo "wine: same bytes as Linux SKIPPED (no Linux build in OSTRELLE_LINUX_PROGRAM)"
        return
    fi
    dir=$(fresh same-as-linux)
    [ ! -d "$suite/png" ] || cp "$suite"/png/*.png "$dir/"
    /usr/bin/python3 - "$root/tests" "$dir" <<'PYTHON'
import os, sys
sys.path.insert(0, sys.argv[1])
import formats_test
for name, make, _ in formats_test.CASES:
    make(os.path.join(sys.argv[2], "formats-" + name))
PYTHON
    i=0
    while read -r icon; do
        cp "$icon" "$dir/icon$i.xpm"
        i=$((i + 1))
    done < <(find /usr/share/icewm /usr/share/pixmaps -name '*.xpm' 2>/dev/null | sort)
    chmod u+w "$dir"/* 2>/dev/null || true
    mapfile -t names < <(cd "$dir" && LC_ALL=C ls)
    [ "${#names[@]}" -gt 0 ] || { echo "wine: same bytes as Linux SKIPPED (no files)"; return; }
    mkdir "$dir/linux"
    cp "$dir"/*.* "$dir/linux/"
    (cd "$dir/linux" && "$linux" "${names[@]}" </dev/null >/dev/null)
    run "$dir" "${names[@]}"
    for i in "${!names[@]}"; do
        tga=${names[i]%???}tga
        files=$((files + 1))
        if [ -e "$dir/$tga" ] || [ -e "$dir/linux/$tga" ]; then
            cmp -s "$dir/$tga" "$dir/linux/$tga" && same=$((same + 1)) ||
                echo "${names[i]}: the zip and Linux wrote different bytes"
        else
            same=$((same + 1)) # refused by both
        fi
    done
    echo "wine: same bytes as Linux: $same of $files files"
    [ "$same" = "$files" ] || fail "the zip and the Linux build differ"
}

# JPEG through the DLL's own libjpeg-turbo decodes to what Pillow decodes.
check_jpeg() {
    local dir names=(baseline progressive gray s420 s422 s444) n exact=0
    dir=$(fresh jpeg)
    /usr/bin/python3 - "$dir" <<'PY'
import sys
from PIL import Image
d = sys.argv[1]
# A small picture with edges and gradients, odd-sized so that subsampled edges count.
im = Image.new("RGB", (37, 23))
im.putdata([((x * 7 + y * 3) % 256, (x * y) % 256, 255 - x * 6) for y in range(23) for x in range(37)])
kinds = {
    "baseline": (im, {}),
    "progressive": (im, {"progressive": True}),
    "gray": (im.convert("L"), {}),
    "s420": (im, {"subsampling": 2}),
    "s422": (im, {"subsampling": 1}),
    "s444": (im, {"subsampling": 0}),
}
for name, (picture, options) in kinds.items():
    picture.save(f"{d}/{name}.jpg", quality=90, **options)
    Image.open(f"{d}/{name}.jpg").save(f"{d}/{name}-pillow.png")
PY
    run "$dir" "${names[@]/%/.jpg}"
    for n in "${names[@]}"; do
        same "$dir/$n-pillow.png" "$dir/$n.tga" && exact=$((exact + 1))
    done
    echo "wine: JPEG: $exact of ${#names[@]} as Pillow decodes them (${names[*]})"
    [ "$exact" = "${#names[@]}" ] || fail "JPEG"
}

# The act table with the zip's own DLL: the lowered worker converts a real PNG and refuses what
# wine can refuse (acts-under-wine.sh).
check_acts() {
    bash "$here/acts-under-wine.sh" "$testable" "$evil" "$app/DevIL.dll"
}

for check in check_layout check_pngsuite check_crash check_workers check_dll_alone check_unicode_name \
    check_cut_names check_jpeg check_same_as_linux check_acts; do
    "$check"
done

# Every text in the zip has Windows line ends, for whatever editor a user opens it with; the
# patches are left as they apply.
check_line_ends() {
    local text lines
    for text in "$app/README.txt" "$app"/licenses/*.*; do
        lines=$(wc -l <"$text")
        [ "$lines" -gt 0 ] && [ "$(grep -c $'\r$' "$text" || true)" = "$lines" ] ||
            fail "${text#"$app/"} has lines without a Windows line end"
    done
    echo "wine: Windows line ends in README.txt and $(find "$app/licenses" -maxdepth 1 -type f | wc -l) license texts: passed"
}
check_line_ends
