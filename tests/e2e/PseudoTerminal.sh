# Sourced by the end-to-end tests that type at Wine's cmd under a pseudo-terminal
# (script): Wine's console is a real one only on a terminal. Sets $brindle and $probe to
# the Windows paths of the programs in the build folder given as $1, and brings up a
# console and a hidden one first: in a new Wine prefix each takes seconds to come up the
# first time, which must not count against what the tests time. A test writes the shell's
# output to $out and types each line with after(), once the output shows the line may go.
set -euo pipefail
build=$(cd "$1" && pwd)
windows() { local path="Z:$1"; printf '%s' "${path//\//\\}"; }
brindle=$(windows "$build/brindle.exe")
probe=$(windows "$build/probe.exe")

timeout 60 script -qec "/usr/lib/wine/wine64 '$build/brindle.exe' -- cmd /c exit 0" /dev/null >/dev/null 2>&1 || true
timeout 60 script -qec "/usr/lib/wine/wine64 '$build/brindle.exe' --private-console -- cmd /c exit 0" /dev/null \
    >/dev/null 2>&1 || true

out=$(mktemp)
trap 'rm -f "$out"' EXIT
after() {  # waits up to 60 s for $1 in $out, 2 s more for the run to end, and types $2
    for _ in $(seq 600); do grep -q "$1" "$out" && break; sleep 0.1; done
    sleep 2
    printf '%s\r' "$2"
}
