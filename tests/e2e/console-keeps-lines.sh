#!/usr/bin/env bash
# With --private-console and brindle's input the caller's console, the relay reads that
# console only when a whole line waits there: a line typed while the child waits for
# input reaches the child, and once brindle returns the caller's shell reads every line
# typed next (a console read left pending and cancelled would take them). Wine's
# console is a real one only on a terminal, so the shell runs under a pseudo-terminal
# (script). The machine may be loaded: every step waits generously.
# Usage: console-keeps-lines.sh <the mingw build folder>
source "$(dirname "${BASH_SOURCE[0]}")/PseudoTerminal.sh" "$1"

# "^" keeps the typed text from holding what only the command's run prints. A line is
# typed for the shell only once the output shows the run before it has ended: one typed
# while brindle still runs goes, by design, to the child.
{ sleep 5; printf '%s --private-console -- cmd /c echo H^I\r' "$brindle"
  after HI 'echo FIR^ST'; after FIRST 'echo SEC^OND'
  after SECOND "$brindle --private-console -- $probe line"; sleep 5
  printf 'for the child\r'; after 'got for the child' 'exit'; } |
    timeout 150 script -qec "/usr/lib/wine/wine64 cmd" /dev/null >"$out" 2>&1 || true
typed=$(tr -d '\r' <"$out")

fail() { echo "console-keeps-lines: $*" >&2; exit 1; }
grep -q 'HI' <<<"$typed" || fail "the first child did not run: $typed"
grep -q 'FIRST' <<<"$typed" || fail "the shell lost the first line typed after brindle: $typed"
grep -q 'SECOND' <<<"$typed" || fail "the shell lost the second line typed after brindle: $typed"
grep -q 'got for the child' <<<"$typed" || fail "the line typed for the child did not reach it: $typed"
echo "console-keeps-lines: the child got its line and the shell every line after brindle"
