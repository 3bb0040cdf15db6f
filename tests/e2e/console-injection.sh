#!/usr/bin/env bash
# A child that types into the console it shares: the caller's shell reads and runs the
# typed line once brindle returns, with the caller's rights. With --private-console the
# child types into a console of its own and nothing reaches the caller's shell. Wine's
# console is a real one only on a terminal, so the shell runs under a pseudo-terminal
# (script); the run without the option is the control that shows the injection. brindle's
# own input is NUL, so that only the console, and not brindle's relay of its input, can
# keep the typed line from the shell.
# Usage: console-injection.sh <the mingw build folder>
set -euo pipefail
build=$(cd "$1" && pwd)
windows() { local path="Z:$1"; printf '%s' "${path//\//\\}"; }
brindle=$(windows "$build/brindle.exe")
probe=$(windows "$build/probe.exe")

# The first console of a new Wine prefix, and the first hidden one, take seconds to come
# up: both are started once before anything here is timed.
warm_up() {
    timeout 60 script -qec "/usr/lib/wine/wine64 '$build/brindle.exe' -- cmd /c exit 0" /dev/null >/dev/null 2>&1 || true
    timeout 60 script -qec "/usr/lib/wine/wine64 '$build/brindle.exe' --private-console -- cmd /c exit 0" /dev/null \
        >/dev/null 2>&1 || true
}
warm_up

# What the caller's shell printed when brindle, with these options, ran the injecting child.
shell_after() {
    { sleep 5; printf '%s --verbose %s -- %s inject "echo INJ^ECTED" < NUL\r' "$brindle" "$1" "$probe"; sleep 6
      printf 'exit\r'; } | timeout 60 script -qec "/usr/lib/wine/wine64 cmd" /dev/null 2>&1 | tr -d '\r' || true
}

fail() { echo "console-injection: $*" >&2; exit 1; }
control=$(shell_after "")
grep -q 'Child process exited with code 0' <<<"$control" || fail "the child did not run: $control"
grep -q INJECTED <<<"$control" || fail "without --private-console the typed line should have run: $control"
private=$(shell_after --private-console)
grep -q 'Child process exited with code 0' <<<"$private" || fail "the child did not run: $private"
if grep -q INJECTED <<<"$private"; then
    fail "with --private-console the typed line reached the caller's shell: $private"
fi
echo "console-injection: the typed line ran only without --private-console"
