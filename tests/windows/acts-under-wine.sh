#!/usr/bin/env bash
# Usage: acts-under-wine.sh TESTABLE EVIL DLL
# The act table under wine: TESTABLE, the test build of the program, beside DLL (a DevIL.dll),
# starts EVIL (tests/windows/evil_worker_win32.cpp) as its worker, which plays a decoder taken
# over by a file and tries every act of its table once it has lowered itself. Wine checks no
# integrity levels, restricting SIDs or job limits beyond memory, so the acts that only those
# refuse are printed as "not enforced by wine"; an act that wine does refuse (a privilege, a
# console of its own) must be refused, and what the acts leave behind must match the answer.
# Uses the caller's WINEPREFIX.
set -euo pipefail
fail() {
    echo "wine: FAILED: acts: $*" >&2
    exit 1
}
[ -n "${WINEPREFIX:-}" ] || fail "no WINEPREFIX"
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
bin=$WINEPREFIX/drive_c/ostrelle-acts-bin
rm -rf "$bin"
mkdir -p "$bin"
cp "$1" "$bin/ostrelle_testable.exe"
cp "$2" "$bin/evil_worker.exe"
cp "$3" "$bin/DevIL.dll"

# Why wine lets an act through: what refuses it on Windows, which wine does not enforce.
declare -A unenforced=(
    ["create a file beside the input"]="integrity levels"
    ["delete a file beside the input"]="integrity levels"
    ["write the user's registry"]="integrity levels"
    ["open the run with write access"]="integrity levels"
    ["write into the run's console"]="integrity levels"
    ["start a process"]="the job's limit of one process"
    ["read the clipboard"]="the job's desktop limits"
    ["read a file beside the input"]="restricting SIDs, in the lockdown build only"
    ["connect to a local port"]="restricting SIDs, in the lockdown build only"
)

mapfile -t acts < <("$wine" "$bin/evil_worker.exe" --acts </dev/null | tr -d '\r' | cut -d' ' -f2-)
[ "${#acts[@]}" -ge 10 ] || fail "the stand-in lists ${#acts[@]} acts"

# A port the worker may try, held by a listener that counts who reached it and ends by itself.
listener=$bin/listener
python3 - "$listener" <<'PY' &
import socket, sys, time
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(8)
s.settimeout(0.5)
with open(sys.argv[1] + ".port", "w") as f:
    f.write(str(s.getsockname()[1]))
reached, end = 0, time.time() + 120
while time.time() < end:
    try:
        c, _ = s.accept()
        c.close()
        reached += 1
        with open(sys.argv[1] + ".reached", "w") as f:
            f.write(str(reached))
    except socket.timeout:
        pass
PY
listening=$!
trap 'kill "$listening" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    [ -s "$listener.port" ] && break
    sleep 0.05
done
port=$(cat "$listener.port")

# The input's folder, as the worker names it, and the user's files in it.
folder=$WINEPREFIX/drive_c/ostrelle-acts-$port
rm -rf "$folder"
mkdir -p "$folder"
printf 'secret' >"$folder/secret.txt"
printf 'victim' >"$folder/victim.txt"
python3 - "$folder/good.png" <<'PY'
import struct, sys, zlib
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
rows = b"".join(b"\0" + bytes([x * 60, 255 - x * 60, 90]) * 3 for x in range(3))
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 3, 3, 8, 2, 0, 0, 0))
png += chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")
open(sys.argv[1], "wb").write(png)
PY
hex=$(printf 'C:\\ostrelle-acts-%s' "$port" | od -An -tx1 | tr -d ' \n')
evil=x.evil-$port-$hex
printf 'hostile' >"$folder/$evil"
printf 'level' >"$folder/token.level"

# Something on the clipboard to read, where wine keeps one: held by a process that stays until
# the run is over, or 60 s.
"$wine" "$bin/evil_worker.exe" --clipboard 'on the clipboard' 60 </dev/null &
holder=$!
trap 'kill "$listening" "$holder" 2>/dev/null || true' EXIT
clipboard=no
for _ in $(seq 20); do
    "$wine" "$bin/evil_worker.exe" --clipboard </dev/null && clipboard=yes && break
    sleep 0.25
done

# Whether the run, started as below, has a console that the worker could attach to.
console=yes
"$wine" "$bin/evil_worker.exe" --console </dev/null | cat || console=no

got=$(cd "$folder" && OSTRELLE_TEST_ONLY_WORKER_PROGRAM='C:\ostrelle-acts-bin\evil_worker.exe' \
    timeout 120 "$wine" "$bin/ostrelle_testable.exe" good.png token.level "$evil" </dev/null |
    tr -d '\r') || fail "the run ended with status $?"
mapfile -t codes < <(sed -n 's/^The error //p' <<<"$got")
[ "$(sed -n 5p <<<"$got")" = "Done!" ] || fail "a good file did not convert in the lowered worker:"$'\n'"$got"
[ "${#codes[@]}" = 2 ] || fail "output was"$'\n'"$got"

# The worker's token: no privilege is left, which wine shows; its level wine keeps unchanged.
# A worker that cannot even read its token (the lockdown build's) holds whatever it holds unused.
read -r privileges error < <(sed -n 's/^String is image too large: \([0-9]*\)x\([0-9]*\)$/\1 \2/p' <<<"$got")
level=$(printf '0x%04X' "${codes[0]}")
if [ "${codes[0]}" = -1 ]; then
    echo "wine: acts: the worker cannot read its own token (error $error)"
elif [ "$privileges" != 0 ]; then
    fail "the lowered worker holds ${privileges:-an unknown number of} privileges"
elif [ "$level" = 0x0000 ]; then
    echo "wine: acts: the worker's integrity level is untrusted (0x0000), with no privilege"
else
    echo "wine: acts: the worker's integrity level: $level, not enforced by wine (it keeps none); no privilege left"
fi

mask=${codes[1]}
[ "$mask" -ge 0 ] || fail "the stand-in could not read its own input"
refused=() open=() unshown=()
for i in "${!acts[@]}"; do
    name=${acts[i]}
    if (((mask >> i) & 1)); then
        [ -n "${unenforced[$name]:-}" ] || fail "not refused, though wine refuses it: $name"
        echo "wine: acts: $name: not enforced by wine (${unenforced[$name]})"
        open+=("$name")
    elif [ "$name" = "read the clipboard" ] && [ "$clipboard" = no ]; then
        echo "wine: acts: $name: not shown by wine, which has no clipboard without a display"
        unshown+=("$name")
    elif [ "$name" = "write into the run's console" ] && [ "$console" = no ]; then
        echo "wine: acts: $name: not shown by wine, where the run has no console"
        unshown+=("$name")
    else
        echo "wine: acts: $name: refused"
        refused+=("$name")
    fi
done

# What the acts leave behind tells the same as the answer.
allowed() {
    local i
    for i in "${!acts[@]}"; do
        [ "${acts[i]}" = "$1" ] && return $(((mask >> i) & 1 ^ 1))
    done
    fail "no act named $1"
}
[ -e "$folder/written-by-worker.txt" ] && ! allowed "create a file beside the input" &&
    fail "a file was created unreported"
[ -e "$folder/victim.txt" ] || allowed "delete a file beside the input" ||
    fail "a file was deleted unreported"
reached=$(cat "$listener.reached" 2>/dev/null || echo 0)
[ "$reached" = 0 ] || allowed "connect to a local port" || fail "the listener was reached unreported"
"$wine" reg query 'HKCU\Software\OstrelleActs-'"$port" >/dev/null 2>&1 &&
    fail "the worker's registry key was left behind"
kill "$holder" 2>/dev/null || true
wait "$holder" 2>/dev/null || true
rm -rf "$folder" "$bin"
echo "wine: acts: ${#refused[@]} refused, ${#open[@]} not enforced by wine, ${#unshown[@]} not shown, of ${#acts[@]}"
