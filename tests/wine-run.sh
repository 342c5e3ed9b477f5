#!/bin/bash
# Runs one Windows test program under Wine in the build folder's own prefix,
# quietly, and passes its exit code on.
set -u
build="${TESSEL_BUILD:-$(pwd)}"
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec wine "$@"
