#!/usr/bin/env bash
# Usage: install-missing.sh PACKAGE...
# Installs the Debian packages that are not installed yet, through sudo when not root. Waits for
# another apt run on the machine to let go of its lock instead of failing at once.
set -euo pipefail
missing=$(for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
done)
[ -n "$missing" ] || exit 0
sudo=$([ "$(id -u)" = 0 ] || echo sudo)
echo "Installing:" $missing >&2
$sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends $missing >/dev/null
