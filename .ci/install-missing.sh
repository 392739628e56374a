#!/usr/bin/env bash
# Usage: install-missing.sh PACKAGE...
# Installs the Debian packages that are not installed yet: directly as root, through sudo
# otherwise. Where there is no sudo, or sudo cannot be used here (it needs a password and there is
# no terminal to ask on, or it refuses this user), it names them with the command to run as root
# and stops. apt's own output goes to a log that is shown only when the install fails. Waits for
# another apt run on the machine to let go of its lock instead of failing at once. Everything it
# says goes to standard error, as callers may take standard output for a result of their own.
set -euo pipefail
missing=$(for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
done)
[ -n "$missing" ] || exit 0
missing=$(echo $missing)

# Names the packages and the command that installs them as root, and stops.
ask_root() {
    echo "Missing packages: $missing" >&2
    [ -z "$1" ] || echo "$1" >&2
    echo "Install them as root: apt-get update && apt-get install --no-install-recommends $missing" >&2
    exit 1
}

# True when a terminal is there for sudo to ask for a password on.
has_terminal() { { : </dev/tty; } 2>/dev/null; }

if [ "$(id -u)" = 0 ]; then
    as_root=()
elif ! command -v sudo >/dev/null; then
    ask_root ""
elif sudo -n true 2>/dev/null; then
    as_root=(sudo)
elif ! has_terminal; then
    # From an IDE, ssh without -t or make with standard input redirected, sudo could only
    # refuse, and its refusal would read like apt's.
    ask_root "sudo needs a password here, and there is no terminal to ask for it on."
elif sudo -v; then
    as_root=(sudo)
else
    ask_root "sudo did not let $(id -un) run commands as root."
fi

installed() { dpkg-query -W -f='${db:Status-Abbrev}\n' | grep -c '^ii'; }
echo "Installing: $missing" >&2
before=$(installed)
log=$(mktemp "${TMPDIR:-/tmp}/ostrelle-apt-XXXXXX")
# sudo clears the environment, so the front end is set on apt-get's side of it.
if "${as_root[@]}" apt-get -q -o DPkg::Lock::Timeout=600 update >"$log" 2>&1 &&
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=600 \
        install -y --no-install-recommends $missing >>"$log" 2>&1; then
    rm -f "$log"
    echo "Installed $(($(installed) - before)) packages" >&2
else
    cat "$log" >&2
    echo "Installing $missing failed; apt's output is above and in $log" >&2
    exit 1
fi
