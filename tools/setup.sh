# Sourced by the run and test commands: installs the Debian packages that are
# missing (a 32-bit Wine needs the i386 architecture) and builds everything.
# Usage: . tools/setup.sh [extra packages...]

tessel_install() {
    local wanted=(mingw-w64 cmake make g++ googletest wine wine64 xvfb socat xdotool python3 "$@")
    local missing=()
    local p
    for p in "${wanted[@]}" wine32:i386; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    # A mirror in mid-sync fails one index now and then; the others still
    # serve, and the install below says plainly if a package cannot be had.
    apt-get update -q || echo "apt-get update reported errors: installing from the lists it could read"
    missing=("${missing[@]/wine32:i386}")
    [ -n "${missing[*]// }" ] && DEBIAN_FRONTEND=noninteractive apt-get install -y -q ${missing[*]}
    # The 32-bit Wine is installed apart: where its libraries cannot be had
    # (an i386 index missing), the 64-bit build is tested under wine64.
    if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "ok installed"; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q wine32:i386 ||
            echo "wine32:i386 could not be installed: testing the 64-bit build under wine64"
    fi
}

# Wine 8 runs a 32-bit program in a 32-bit Linux process. A machine whose
# kernel runs only 64-bit code cannot start one (exec fails with ENOEXEC):
# there the same sources are built as a 64-bit Windows program and run by
# wine64, and the 32-bit program is still built beside it.
tessel_arch() {
    if /usr/lib/wine/wine --version >/dev/null 2>&1; then
        echo i686
    else
        echo x86_64
    fi
}

# Configures a build folder for one toolchain, starting afresh if it was
# configured for another one.
tessel_configure() {
    local source="$1" build="$2" toolchain="$3"
    shift 3
    if [ -f "$build/CMakeCache.txt" ] && ! grep -q -- "$toolchain" "$build/CMakeCache.txt"; then
        rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
    fi
    cmake -S "$source" -B "$build" "-DCMAKE_TOOLCHAIN_FILE=$toolchain" "$@" >/dev/null
}

tessel_build() {
    local build="$1" arch="$2"
    tessel_configure . "$build" "cmake/mingw-$arch.cmake" -DCMAKE_BUILD_TYPE=Release
    cmake --build "$build" -j2
    if [ "$arch" != i686 ]; then
        tessel_configure . "$build/i686" cmake/mingw-i686.cmake -DBUILD_TESTS=OFF
        cmake --build "$build/i686" -j2 --target TesselFlash
    fi
    cmake -S tools -B "$build/native" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build/native" -j2
}

# Puts wine and wineserver for the chosen architecture first on the PATH:
# Debian's own wrappers always pick the 32-bit loader when it is installed.
tessel_wine_path() {
    local build="$1" arch="$2"
    [ "$arch" = i686 ] && return 0
    mkdir -p "$build/wine64-bin"
    printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' > "$build/wine64-bin/wine"
    printf '#!/bin/sh\nexec /usr/lib/wine/wineserver64 "$@"\n' > "$build/wine64-bin/wineserver"
    chmod +x "$build/wine64-bin/wine" "$build/wine64-bin/wineserver"
    export PATH="$build/wine64-bin:$PATH"
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
    arch="$(tessel_arch)"
    [ "$arch" = i686 ] || echo "no 32-bit Wine runs here: testing the 64-bit build under wine64"
    tessel_build "$build" "$arch"
    build="$(cd "$build" && pwd)"
    tessel_wine_path "$build" "$arch"
    export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all TESSEL_BUILD="$build" TESSEL_ARCH="$arch"
}
