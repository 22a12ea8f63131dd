#!/bin/sh
# The unit's exposure as systemd rates it, printed, and held at 2.0 or less.
# Exit 77 (skipped) without systemd-analyze.
unit=${1:?usage: unit_security.sh UNIT}
if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "systemd-analyze is missing: skipped"
    exit 77
fi
out=$(systemd-analyze security --offline=yes "$unit" 2>&1)
rc=$?
score=$(printf '%s\n' "$out" | sed -n 's/^.*Overall exposure level for [^:]*: \([0-9.]*\) .*$/\1/p')
if [ -z "$score" ]; then
    printf '%s\n' "$out"
    echo "no exposure level in the output (systemd-analyze exited $rc)"
    exit 1
fi
# The lines that still count against the unit, then the score.
printf '%s\n' "$out" | grep '^✗'
echo "exposure of $(basename "$unit"): $score"
if awk -v s="$score" 'BEGIN { exit !(s > 2.0) }'; then
    echo "above 2.0"
    exit 1
fi
