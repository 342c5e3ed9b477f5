#!/bin/bash
# The release command: builds the 32-bit program from the checked-out commit
# in a clean folder and writes release/TesselFlash-VERSION-win32.zip holding
# TesselFlash.exe, README.txt and SHA256SUMS, with SHA256SUMS beside it.
#   bash tools/release.sh [--check]
# Two builds of one commit give the same bytes: the commit's date is the
# time of every file (SOURCE_DATE_EPOCH), the link writes no time stamp and
# no build folder reaches the program. --check builds twice, in two folders
# of different names, and fails unless both archives are identical.
# Changes not committed are not in the release (the script says so).
set -euo pipefail
cd "$(dirname "$0")/.."
top="$(pwd)"

usage() {
    sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'
}

check=0
while [ $# -gt 0 ]; do
    case "$1" in
        --check) check=1; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "release: unknown option $1" >&2; usage >&2; exit 2 ;;
    esac
done

. tools/setup.sh
tessel_install git

work="$(mktemp -d /tmp/tessel-release.XXXXXX)"
trap 'rm -rf "$work"' EXIT

# The sources of one build: a clone of the commit, or outside git a copy of
# the tree (its version then says "nogit").
if git -C "$top" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    commit="$(git -C "$top" rev-parse HEAD)"
    [ -z "$(git -C "$top" status --porcelain --untracked-files=no)" ] ||
        echo "release: changes not committed are left out: building $commit"
    export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git -C "$top" log -1 --format=%ct "$commit")}"
else
    commit=""
    export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(stat -c %Y CMakeLists.txt)}"
fi
fetchSources() {
    local into="$1"
    if [ -n "$commit" ]; then
        git clone -q --no-checkout "$top" "$into"
        git -C "$into" checkout -q --detach "$commit"
    else
        mkdir -p "$into"
        tar -C "$top" --exclude=./build --exclude=./release -cf - . | tar -C "$into" -xf -
    fi
}

# buildRelease FOLDER: the archive from sources and a build in FOLDER; prints its path.
buildRelease() {
    local folder="$1" version stage
    fetchSources "$folder/src"
    cmake -S "$folder/src" -B "$folder/build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTS=OFF >"$folder/configure.log" ||
        { cat "$folder/configure.log" >&2; return 1; }
    cmake --build "$folder/build" -j2 --target TesselFlash >"$folder/build.log" 2>&1 ||
        { tail -30 "$folder/build.log" >&2; return 1; }
    version="$(cat "$folder/build/tessel-version.txt")"
    python3 "$folder/src/tests/check-resources.py" "$folder/build/TesselFlash.exe" "$folder/build/tessel-version.txt" >&2
    stage="$folder/TesselFlash-$version-win32"
    mkdir -p "$stage"
    cp "$folder/build/TesselFlash.exe" "$stage/"
    sed "s/@VERSION@/$version/" "$folder/src/docs/release-readme.txt" | sed 's/$/\r/' >"$stage/README.txt"
    (cd "$stage" && sha256sum TesselFlash.exe README.txt >SHA256SUMS)
    python3 "$folder/src/tools/release-zip.py" "$stage" "$folder/$(basename "$stage").zip"
    echo "$folder/$(basename "$stage").zip"
}

if [ "$check" = 1 ]; then
    first="$(buildRelease "$work/one")"
    second="$(buildRelease "$work/second-folder")"
    sha256sum "$first" "$second" | sed "s|$work/||"
    if ! cmp -s "$first" "$second"; then
        echo "release: the two builds differ" >&2
        exit 1
    fi
    echo "release: two builds in two folders gave the same bytes"
    archive="$first"
else
    archive="$(buildRelease "$work/one")"
fi

mkdir -p release
cp "$archive" release/
(cd release && sha256sum "$(basename "$archive")" >"$(basename "$archive" .zip).zip.sha256")
echo "release/$(basename "$archive")"
unzip -l "release/$(basename "$archive")" | sed -n '4,6p'
cat "release/$(basename "$archive" .zip).zip.sha256"
