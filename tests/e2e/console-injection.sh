#!/usr/bin/env bash
# A child that types into the console it shares: the caller's shell reads and runs the
# typed line once brindle returns, with the caller's rights. With --private-console the
# child types into a console of its own and nothing reaches the caller's shell. Wine's
# console is a real one only on a terminal, so the shell runs under a pseudo-terminal
# (script); the run without the option is the control that shows the injection. brindle's
# own input is NUL, so that only the console, and not brindle's relay of its input, can
# keep the typed line from the shell.
# Usage: console-injection.sh <the mingw build folder>
source "$(dirname "${BASH_SOURCE[0]}")/PseudoTerminal.sh" "$1"

# What the caller's shell printed when brindle, with these options, ran the injecting child.
# "exit" is typed only once brindle has said the child ended: typed earlier, it would wait
# in the console's input ahead of the injected line, and the shell would end first.
shell_after() {
    { sleep 5; printf '%s --verbose %s -- %s inject "echo INJ^ECTED" < NUL\r' "$brindle" "$1" "$probe"
      after 'Child process exited' 'exit'; } |
        timeout 90 script -qec "/usr/lib/wine/wine64 cmd" /dev/null >"$out" 2>&1 || true
    tr -d '\r' <"$out"
}

fail() { echo "console-injection: $*" >&2; exit 1; }
# Should Wine's console under script lose typed input on a loaded machine, the control is
# tried up to three times. The run with the option, which must show nothing, is never
# tried again.
for attempt in 1 2 3; do
    control=$(shell_after "")
    grep -q INJECTED <<<"$control" && break
done
grep -q 'Child process exited with code 0' <<<"$control" || fail "the child did not run: $control"
grep -q INJECTED <<<"$control" || fail "without --private-console the typed line should have run: $control"
private=$(shell_after --private-console)
grep -q 'Child process exited with code 0' <<<"$private" || fail "the child did not run: $private"
if grep -q INJECTED <<<"$private"; then
    fail "with --private-console the typed line reached the caller's shell: $private"
fi
echo "console-injection: the typed line ran only without --private-console"
