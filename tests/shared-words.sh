#!/bin/bash
# Every word the two threads share goes through SharedWord (app/sharedword.h),
# so that the preempting test build reaches it: no other file of the program
# may name std::atomic. Prints the offending lines and fails when one does.
cd "$(dirname "$0")/.."
found="$(grep -rn --include='*.cpp' --include='*.h' -E 'std::atomic|<atomic>|volatile' app serial upload terminal \
    | grep -v '^app/sharedword\.h:')"
if [ -n "$found" ]; then
    echo "shared words outside SharedWord:"
    echo "$found"
    exit 1
fi
echo "shared words: every one through SharedWord"
