#!/usr/bin/env bash
# Cross-builds ostrelle.exe for 64-bit Windows with mingw-w64 and inspects it; then, when wine is
# available (OSTRELLE_WINE=0 turns it off), runs it against a stand-in DevIL.dll.
# DevIL itself comes in as a header and an import library made from packaging/devil.def: to let
# the program call another DevIL function, add its name there. Installs what it needs (sudo
# when not root).
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
out=build/windows
stage=$out/devil
def=packaging/devil.def

fail() {
    echo "windows-cross: FAILED: $*" >&2
    exit 1
}

bash .ci/install-missing.sh cmake make libdevil-dev g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 \
    icoutils
rm -rf "$out"
mkdir -p "$stage/include/IL" "$stage/lib"

# Only DevIL's own header: the rest of the build machine's include folder is not for Windows.
cp /usr/include/IL/il.h "$stage/include/IL/"
x86_64-w64-mingw32-dlltool -d "$def" -l "$stage/lib/libIL.dll.a"

# FindDevIL insists on the utility library too, which the program never links.
cmake -S . -B "$out/build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_FIND_ROOT_PATH="$PWD/$stage" -DILU_LIBRARIES="$PWD/$stage/lib/libIL.dll.a" \
    -DCMAKE_BUILD_TYPE=Release -DOSTRELLE_TESTS=OFF -DOSTRELLE_WERROR=ON >/dev/null
cmake --build "$out/build" --parallel 2 --target ostrelle ostrelle_testable evil_worker
exe=$out/build/ostrelle.exe
bash .ci/inspect-windows-exe.sh "$exe" "$def"
# The lockdown build, whose workers start with a restricted token; not what ships.
cmake -S . -B "$out/lockdown" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_FIND_ROOT_PATH="$PWD/$stage" -DILU_LIBRARIES="$PWD/$stage/lib/libIL.dll.a" \
    -DCMAKE_BUILD_TYPE=Release -DOSTRELLE_TESTS=OFF -DOSTRELLE_WERROR=ON \
    -DOSTRELLE_WINDOWS_LOCKDOWN=ON >/dev/null
cmake --build "$out/lockdown" --parallel 2 --target ostrelle_testable evil_worker
echo "windows-cross: built and inspected in $((SECONDS - start)) s"

# The inspection must reject what a user could not drop files on: a windowed program with an
# elevating manifest, no code page and imports from elsewhere.
mkdir -p "$out/reject"
cat >"$out/reject/bad.manifest" <<'XML'
<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security><requestedPrivileges>
<requestedExecutionLevel level="requireAdministrator" uiAccess="true"/>
</requestedPrivileges></security></trustInfo>
</assembly>
XML
echo '1 24 "bad.manifest"' >"$out/reject/bad.rc"
printf '%s\n' '#include <windows.h>' \
    'int WINAPI WinMain(HINSTANCE a, HINSTANCE b, LPSTR c, int d) {' \
    '    return MessageBoxA(0, "", "", 0); }' >"$out/reject/gui.c"
(cd "$out/reject" && x86_64-w64-mingw32-windres bad.rc -O coff -o bad.res &&
    x86_64-w64-mingw32-gcc -mwindows gui.c bad.res -o gui.exe)
if bash .ci/inspect-windows-exe.sh "$out/reject/gui.exe" "$def" 2>"$out/reject/report"; then
    fail "the inspection passed a windowed, elevating executable"
fi
for expected in '(Windows GUI)' 'USER32.dll' 'imports nothing from DevIL.dll' 'asInvoker' \
    'uiAccess' 'UTF-8'; do
    grep -qF "$expected" "$out/reject/report" || fail "the inspection missed: $expected"
done

if [ "${OSTRELLE_WINE:-1}" = 0 ]; then
    echo "windows-cross: wine run SKIPPED (OSTRELLE_WINE=0)"
    exit 0
fi
bash .ci/install-missing.sh wine64
bash tests/windows/run-under-wine.sh "$exe" "$out/build/ostrelle_testable.exe" "$def" \
    "$out/build/evil_worker.exe"
# The act table again with the lockdown build, in the prefix and beside the stand-in DLL of the
# checks above: its workers must still convert a file.
echo "windows-cross: the lockdown build's act table"
wine_run=$PWD/$out/build/wine-run
WINEPREFIX=$wine_run/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d" \
    LC_ALL=C.UTF-8 bash tests/windows/acts-under-wine.sh "$out/lockdown/ostrelle_testable.exe" \
    "$out/lockdown/evil_worker.exe" "$wine_run/DevIL.dll"
echo "windows-cross: passed in $((SECONDS - start)) s"
