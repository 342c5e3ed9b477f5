#!/bin/bash
# Runs one Windows test program in a Wine prefix of its own, made once beside
# the shared one, so that its many round trips to the Wine server wait for no
# other suite's windows. The prefix's server ends with the program.
set -u
build="${TESSEL_BUILD:?}"
here="$(cd "$(dirname "$0")" && pwd)"
export WINEPREFIX="$build/wineprefix-alone"
"$here/wine-prefix.sh"
"$here/wine-run.sh" "$@"
status=$?
wineserver -k 2>/dev/null
exit $status
