#!/usr/bin/env bash
# Installs the peers into the benchmark venv one at a time and records, per
# peer, whether it installed; the report reads that record so that a peer
# that would not install is named as such instead of silently missing.
set -uo pipefail
VPY="$1"
HERE="$(cd "$(dirname "$0")" && pwd)"
STATUS="$(dirname "$(dirname "$VPY")")/peers-install.txt"
: > "$STATUS"
pip_q() { "$VPY" -m pip install -q --disable-pip-version-check -c "$HERE/constraints-peers.txt" "$@" 2>&1 | grep -v "^WARNING: Location" ; return "${PIPESTATUS[0]}"; }
while read -r req; do
    case "$req" in ''|\#*) continue ;; esac
    if pip_q "$req"; then echo "$req	installed" >> "$STATUS"
    else echo "$req	failed to install" >> "$STATUS"; fi
done < "$HERE/requirements-peers.txt"
# SHARPpy only for its sounding files: its GUI dependencies are not wanted,
# and its only release is a pre-release.
if pip_q --no-deps --pre "sharppy==1.4.0a5"; then echo "sharppy==1.4.0a5	installed (--no-deps)" >> "$STATUS"
else echo "sharppy==1.4.0a5	failed to install" >> "$STATUS"; fi
cat "$STATUS"
