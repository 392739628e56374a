#!/usr/bin/env bash
# Builds the Debian package, checks it with lintian and hardening-check, installs it, converts a
# PNG with the installed program, checks the desktop entry and the man page, and removes the
# package again. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS

fail() {
    echo "deb-check: FAILED: $*" >&2
    exit 1
}

# The tools the check itself uses, beyond what `make setup` installs.
bash .ci/install-missing.sh dpkg-dev file desktop-file-utils man-db lintian devscripts binutils \
    python3-pil imagemagick icewm-common

# A package left installed by an earlier run would hide a broken install.
if dpkg-query -W ostrelle >/dev/null 2>&1; then
    dpkg -r ostrelle >/dev/null
fi

rm -f build/package/ostrelle_*.deb
make package
debs=(build/package/ostrelle_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one ostrelle_*.deb, found: ${debs[*]}"
deb=${debs[0]}
echo "deb-check: built $deb"

# The package's control fields: version from the project, section, and what the worker's image
# library needs, which is linked in: libpng and libjpeg, never the system's DevIL.
version=$(sed -n 's/^project(ostrelle VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version is not $version"
[ "$(dpkg-deb -f "$deb" Section)" = graphics ] || fail "Section is not graphics"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libpng16-16 libjpeg62-turbo libseccomp2; do
    grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
! grep -q libdevil <<<"$depends" || fail "Depends names the system's DevIL: $depends"
echo "deb-check: Depends: $depends"
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/ostrelle ./usr/libexec/ostrelle/ostrelle-worker \
    ./usr/share/man/man1/ostrelle.1.gz \
    ./usr/share/applications/ostrelle.desktop ./usr/share/doc/ostrelle/copyright \
    ./usr/share/doc/ostrelle/changelog.gz; do
    grep -q " $f\$" <<<"$contents" || fail "package lacks $f"
done

# Debian's own checks: any error or warning fails (overrides would need a reason each, in
# /usr/share/lintian/overrides/ostrelle). Lintian's remark about running as root is not about
# the package.
report=$(lintian --fail-on error,warning --show-overrides "$deb" 2>&1) ||
    fail "lintian:"$'\n'"$report"
report=$(grep -v 'running with root privileges' <<<"$report" || true)
[ -z "$report" ] || echo "$report"
echo "deb-check: lintian $(lintian --version | sed 's/^Lintian v//'): 1 package," \
    "$(grep -c '^E: ' <<<"$report") errors, $(grep -c '^W: ' <<<"$report") warnings," \
    "$(grep -c '^O: ' <<<"$report") overrides"

# The hardening the build asks for. Debian 12's own start files (Scrt1.o, crti.o) carry no
# IBT/SHSTK marks, so no program linked here can claim control-flow protection as a whole; that
# the code itself has it shows in its endbr64 landing pads instead.
unpacked=$(mktemp -d)
dpkg-deb -x "$deb" "$unpacked"
run=$unpacked/usr/bin/ostrelle worker=$unpacked/usr/libexec/ostrelle/ostrelle-worker
hardening=$(hardening-check --nocfprotection "$run" "$worker" 2>&1) ||
    fail "hardening-check:"$'\n'"$hardening"
pads=$(objdump -d "$run" | grep -c endbr64 || true)
workerPads=$(objdump -d "$worker" | grep -c endbr64 || true)
# The run holds the user's rights and never maps the decoder: it needs no image library at all.
runNeeds=$(objdump -p "$run" | awk '/NEEDED/ { print $2 }' | tr '\n' ' ')
workerNeeds=$(objdump -p "$worker" | awk '/NEEDED/ { print $2 }' | tr '\n' ' ')
rm -rf "$unpacked"
[ "$pads" -gt 0 ] && [ "$workerPads" -gt 0 ] ||
    fail "no endbr64 in the programs: built without -fcf-protection"
! grep -qE 'libIL|libpng|libjpeg' <<<"$runNeeds" || fail "the run links an image library: $runNeeds"
! grep -q 'libIL' <<<"$workerNeeds" || fail "the worker links the system's DevIL: $workerNeeds"
echo "deb-check: the run needs $runNeeds; the worker needs $workerNeeds"
echo "deb-check: hardening-check passed on both programs:" \
    $(sed -n 's/^ \(.*\): yes.*/\1;/p' <<<"$hardening" | sort -u) \
    "$pads and $workerPads endbr64 landing pads"

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "./$deb" >/dev/null
[ -x /usr/bin/ostrelle ] || fail "/usr/bin/ostrelle is not installed"

# Converts the sample with standard input closed; the run must end by itself.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp docs/sample.png "$work/sample.png"
out=$(cd "$work" && timeout 30 /usr/bin/ostrelle sample.png 0<&-) || fail "ostrelle exited with $?"
[ "$(sed -n 1p <<<"$out")" = "Ostrelle by Quorvane." ] || fail "banner missing: $out"
[ "$(sed -n '4,$p' <<<"$out")" = $'\nDone!\nPress any key to continue.' ] ||
    fail "unexpected output: $out"
[ -f "$work/sample.tga" ] || fail "sample.tga was not written"
# An uncompressed or run-length true-colour TGA of the sample's 32x32 pixels.
header=$(od -An -tu1 -j2 -N1 "$work/sample.tga" | tr -d ' ')
size=$(od -An -tu2 -j12 -N4 "$work/sample.tga" | tr -s ' ')
[ "$header" = 2 ] || [ "$header" = 10 ] || fail "sample.tga has image type $header"
[ "$size" = " 32 32" ] || fail "sample.tga is${size} pixels, not 32 32"

# Debian's own XPM icons through the installed program, against ImageMagick's decode of each.
/usr/bin/python3 .ci/xpm-check.py /usr/bin/ostrelle 90 /usr/share/icewm /usr/share/pixmaps ||
    fail "the installed program does not read Debian's XPM icons"

report=$(desktop-file-validate /usr/share/applications/ostrelle.desktop 2>&1) ||
    fail "desktop-file-validate: $report"
[ -z "$report" ] || fail "desktop-file-validate: $report"
# A TGA converted beside itself would have its own name as its output, so the launcher does not
# offer to open TGA files.
types=$(sed -n 's/^MimeType=//p' /usr/share/applications/ostrelle.desktop | tr ';' '\n' | grep .)
tga=$(grep -ciE 'tga|targa' <<<"$types" || true)
[ "$tga" = 0 ] || fail "the desktop entry offers TGA:" $(grep -iE 'tga|targa' <<<"$types")
echo "deb-check: desktop entry offers $(wc -l <<<"$types") image types, $tga of them TGA"
[ "$(man -w ostrelle)" = /usr/share/man/man1/ostrelle.1.gz ] || fail "man does not find ostrelle(1)"
warnings=$(man --warnings -l /usr/share/man/man1/ostrelle.1.gz 2>&1 >/dev/null) ||
    fail "man failed: $warnings"
[ -z "$warnings" ] || fail "man page warnings: $warnings"

DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq ostrelle >/dev/null
for f in /usr/bin/ostrelle /usr/libexec/ostrelle /usr/share/man/man1/ostrelle.1.gz \
    /usr/share/applications/ostrelle.desktop /usr/share/doc/ostrelle; do
    [ ! -e "$f" ] || fail "$f is still there after removal"
done
dpkg-query -W -f='${Status}\n' ostrelle 2>/dev/null | grep -q 'install ok installed' &&
    fail "dpkg still lists ostrelle as installed"

echo "deb-check: passed in $((SECONDS - start)) s"
