# SPDX-License-Identifier: MIT
# Sourced by the check scripts: one PASS/FAIL line per step, then a summary.
#   steps_title="Packages"; source tests/steps.sh; record $? "step"; ...; summary
steps_started=$SECONDS
results=()
failed=0
record() { # record <status> <step>
    if [ "$1" -eq 0 ]; then results+=("PASS  $2"); else results+=("FAIL  $2"); failed=1; fi
}
summary() {
    echo
    echo "== $steps_title ($((SECONDS - steps_started)) s)"
    local line
    for line in "${results[@]}"; do echo "   $line"; done
    if [ "$failed" -eq 0 ]; then echo "== $steps_title: PASS"; else echo "== $steps_title: FAIL"; fi
}
