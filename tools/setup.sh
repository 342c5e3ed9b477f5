# Sourced by the run and test commands: installs the Debian packages that are
# missing (a 32-bit Wine needs the i386 architecture) and builds everything.
# Usage: . tools/setup.sh [extra packages...]

tessel_install() {
    local wanted=(mingw-w64 cmake make g++ googletest wine wine32:i386 xvfb socat "$@")
    local missing=()
    local p
    for p in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
}

tessel_build() {
    local build="$1"
    cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" -j2
    cmake -S tools -B "$build/native" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build/native" -j2
}

# Runs a command on a virtual display with the shared Wine prefix's services
# started on that display first (they keep the output of whoever starts them).
tessel_xvfb() {
    xvfb-run -a -s "-screen 0 1024x768x24" bash -c 'tests/wine-prefix.sh && "$@"' _ "$@"
}

# What every command does first: install, build into $build (absolute), and
# point Wine and the test wrappers at the build's own prefix.
tessel_prepare() {
    tessel_install "$@"
    build="${TESSEL_BUILD_DIR:-build}"
    tessel_build "$build"
    build="$(cd "$build" && pwd)"
    export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all TESSEL_BUILD="$build"
}
