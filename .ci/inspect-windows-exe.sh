#!/usr/bin/env bash
# Usage: inspect-windows-exe.sh EXE DEF
# Checks that EXE is what a Windows user can drop files on: a console program whose embedded
# manifest asks for the invoker's own rights and the UTF-8 code page, with an icon and the
# project's version, importing from nothing but the system, the C runtime and the DevIL DLL, and
# from that DLL exactly the functions in DEF.
set -euo pipefail
exe=$1
def=$2

# DLLs that every Windows has; anything else would have to be shipped beside the executable.
system_dlls='^(kernel32|advapi32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll$'

failures=0
fail() {
    echo "inspect: $exe: $*" >&2
    failures=$((failures + 1))
}

headers=$(x86_64-w64-mingw32-objdump -p "$exe")

subsystem=$(sed -n 's/^Subsystem[[:space:]]*[0-9a-f]*[[:space:]]*//p' <<<"$headers")
[ "$subsystem" = "(Windows CUI)" ] || fail "subsystem is '$subsystem', not (Windows CUI)"

# Imports, one "dll function" pair a line, from objdump's import tables.
imports=$(awk '
    /^[[:space:]]*DLL Name:/ { dll = $3; next }
    /^[[:space:]]*$/ { dll = "" }
    dll != "" && $1 ~ /^[0-9a-f]+$/ && NF == 3 { print dll, $3 }
' <<<"$headers")
[ -n "$imports" ] || fail "no imports found"
dll_from_def=$(sed -n 's/^LIBRARY[[:space:]]*//p' "$def" | tr -d '\r')
while read -r dll; do
    lower=$(tr 'A-Z' 'a-z' <<<"$dll")
    if [ "$lower" != "$(tr 'A-Z' 'a-z' <<<"$dll_from_def")" ] && ! grep -Eq "$system_dlls" <<<"$lower"; then
        fail "imports from $dll, which is neither DevIL, the C runtime nor a system DLL the check allows"
    fi
done < <(cut -d' ' -f1 <<<"$imports" | sort -u)

# What the program takes from DevIL must be exactly what the .def lists: an unlisted call cannot
# link at all, and a listed name that is no longer called is a stale list.
listed=$(sed -n '/^EXPORTS/,$p' "$def" | sed '1d; s/;.*//; s/[[:space:]]//g; /^$/d' | sort)
called=$(awk -v d="$dll_from_def" 'tolower($1) == tolower(d) { print $2 }' <<<"$imports" | sort)
[ -n "$called" ] || fail "imports nothing from $dll_from_def"
if [ "$listed" != "$called" ]; then
    fail "functions from $dll_from_def differ from $def:"$'\n'"$(diff <(echo "$listed") <(echo "$called") | grep '^[<>]' || true)"
fi

# One manifest, as resource 24/1, with the three settings the program relies on.
manifests=$(wrestool -l -t 24 "$exe" | grep -c . || true)
[ "$manifests" = 1 ] || fail "has $manifests manifest resources, not 1"
manifest=$(wrestool -x --raw -t 24 -n 1 "$exe" | tr -s ' \t\r\n' ' ')
grep -Eq '<requestedExecutionLevel [^>]*level="asInvoker"' <<<"$manifest" ||
    fail "manifest does not ask for level asInvoker"
grep -Eq '<requestedExecutionLevel [^>]*uiAccess="false"' <<<"$manifest" ||
    fail "manifest does not set uiAccess false"
grep -Eq '<activeCodePage( [^>]*)?> ?UTF-8 ?</activeCodePage>' <<<"$manifest" ||
    fail "manifest does not set the UTF-8 active code page"

# An icon for Explorer, and a version resource whose text is the project's version (in UTF-16).
version=$(sed -n 's/^project(ostrelle VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt")
[ "$(wrestool -l -t 14 "$exe" | grep -c . || true)" = 1 ] || fail "has no icon, or several"
[ "$(wrestool -l -t 16 "$exe" | grep -c . || true)" = 1 ] || fail "has no version resource"
hex() { od -An -tx1 -v | tr -d ' \n'; }
wrestool -x --raw -t 16 "$exe" | hex | grep -q "$(printf 'FileVersion\0\0%s\0' "$version" | iconv -f UTF-8 -t UTF-16LE | hex)" ||
    fail "the version resource does not give FileVersion $version"

if [ "$failures" -ne 0 ]; then
    echo "inspect: $exe: $failures check(s) failed" >&2
    exit 1
fi
echo "inspect: $exe: console program, manifest asInvoker/uiAccess false/UTF-8, icon, version $version, imports:" \
    $(cut -d' ' -f1 <<<"$imports" | sort -u)
