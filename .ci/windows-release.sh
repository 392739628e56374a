#!/usr/bin/env bash
# Builds the Windows download, build/windows-release/ostrelle-VERSION-windows-x64.zip: ostrelle.exe
# with the DevIL.dll of .ci/windows-deps.sh (zlib, libpng and libjpeg-turbo linked in), a word on
# use and the license texts. Beside it, ostrelle-VERSION-windows-x64-acts.zip holds what the act
# table needs on Windows (tests/windows/acts-on-windows.ps1): the test build, the stand-in for a
# taken-over worker and the script; with OSTRELLE_LOCKDOWN_ACTS=1, -acts-lockdown.zip holds the
# same from the lockdown build. Then, unless OSTRELLE_WINE=0, tests the zip's own files under wine
# (tests/windows/release-under-wine.sh). Installs what it needs (sudo when not root).
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
out=build/windows-release
patches=(packaging/devil/*.patch)

fail() {
    echo "windows-release: FAILED: $*" >&2
    exit 1
}

# The program's own license goes into the zip; the file comes from another branch.
[ -f LICENSE ] || fail "LICENSE is missing at the project root: the zip must carry the program's license"
version=$(sed -n 's/^project(ostrelle VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no version in CMakeLists.txt's project()"

bash .ci/install-missing.sh zip
deps=$(bash .ci/windows-deps.sh)

# The program against the real DevIL. FindDevIL looks for the import library under other names,
# and insists on the utility library too, which the program never links.
rm -rf "$out/exe"
cmake -S . -B "$out/exe" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_FIND_ROOT_PATH="$deps" -DIL_LIBRARIES="$deps/lib/libDevIL.dll.a" \
    -DILU_LIBRARIES="$deps/lib/libDevIL.dll.a" -DCMAKE_BUILD_TYPE=Release -DOSTRELLE_TESTS=OFF \
    -DOSTRELLE_WERROR=ON -DOSTRELLE_WINDOWS_LOCKDOWN=OFF >/dev/null
cmake --build "$out/exe" --parallel 2 --target ostrelle ostrelle_testable evil_worker >/dev/null
x86_64-w64-mingw32-strip "$out/exe/ostrelle.exe" "$out/exe/ostrelle_testable.exe" \
    "$out/exe/evil_worker.exe"

# The zip: the program, the library, a word on use and every license, with where DevIL's source is.
name=ostrelle-$version-windows-x64
pack=$out/pack
zip=$PWD/$out/$name.zip
rm -rf "$pack" "$zip"
mkdir -p "$pack/licenses/devil-patches"
cp "$out/exe/ostrelle.exe" "$deps/bin/DevIL.dll" "$pack/"
# Windows line ends, for any editor a user opens the notes with.
sed 's/$/\r/' packaging/windows/README.txt >"$pack/README.txt"
# The license texts too; the patches stay byte for byte as they apply.
sed 's/\r*$/\r/' LICENSE >"$pack/licenses/Ostrelle-LICENSE.txt"
for license in "$deps"/licenses/*; do
    sed 's/\r*$/\r/' "$license" >"$pack/licenses/$(basename "$license")"
done
sed 's/$/\r/' packaging/windows/DevIL-source.txt >"$pack/licenses/DevIL-source.txt"
cp "${patches[@]}" "$pack/licenses/devil-patches/"
(cd "$pack" && zip -qr -X "$zip" .)
echo "windows-release: $zip ($(stat -c %s "$zip") bytes) in $((SECONDS - start)) s"

# The act table's bundle: BUILD's test build and stand-in, with the script, into ZIP.
acts_bundle() {
    local build=$1 bundle=$2
    rm -rf "$out/acts" "$bundle"
    mkdir -p "$out/acts"
    cp "$build/ostrelle_testable.exe" "$build/evil_worker.exe" tests/windows/acts-on-windows.ps1 \
        "$out/acts/"
    (cd "$out/acts" && zip -qr -X "$bundle" .)
    echo "windows-release: $bundle"
}
acts_bundle "$out/exe" "$PWD/$out/$name-acts.zip"
if [ "${OSTRELLE_LOCKDOWN_ACTS:-0}" = 1 ]; then
    rm -rf "$out/lockdown"
    cmake -S . -B "$out/lockdown" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
        -DCMAKE_FIND_ROOT_PATH="$deps" -DIL_LIBRARIES="$deps/lib/libDevIL.dll.a" \
        -DILU_LIBRARIES="$deps/lib/libDevIL.dll.a" -DCMAKE_BUILD_TYPE=Release \
        -DOSTRELLE_TESTS=OFF -DOSTRELLE_WERROR=ON -DOSTRELLE_WINDOWS_LOCKDOWN=ON >/dev/null
    cmake --build "$out/lockdown" --parallel 2 --target ostrelle_testable evil_worker >/dev/null
    x86_64-w64-mingw32-strip "$out/lockdown/ostrelle_testable.exe" "$out/lockdown/evil_worker.exe"
    acts_bundle "$out/lockdown" "$PWD/$out/$name-acts-lockdown.zip"
fi

if [ "${OSTRELLE_WINE:-1}" = 0 ]; then
    echo "windows-release: wine run SKIPPED (OSTRELLE_WINE=0)"
    exit 0
fi
bash .ci/install-missing.sh unzip icoutils wine64 g++ libpng-dev libdevil-dev python3-pil
# The Linux build beside it, for the check that both write the same bytes (in the folder of
# `make demo`).
if [ -z "${OSTRELLE_LINUX_PROGRAM:-}" ]; then
    cmake -S . -B build/program -DCMAKE_BUILD_TYPE=Release -DOSTRELLE_TESTS=OFF \
        -DOSTRELLE_VENDOR="$(cd "${OSTRELLE_VENDOR:-../shared/vendor}" && pwd)" >/dev/null
    cmake --build build/program --parallel 2 --target ostrelle >/dev/null
    export OSTRELLE_LINUX_PROGRAM=$PWD/build/program/ostrelle
fi
bash tests/windows/release-under-wine.sh "$zip" "$out/exe/ostrelle_testable.exe" \
    "$out/exe/evil_worker.exe"
echo "windows-release: passed in $((SECONDS - start)) s"
