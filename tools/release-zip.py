#!/usr/bin/env python3
"""Packs a release folder into a zip archive whose bytes depend only on the
files' contents: names in sorted order under the folder's name, every time
the commit's (SOURCE_DATE_EPOCH, UTC), fixed permissions, fixed compression.
    release-zip.py FOLDER ARCHIVE.zip
"""
import os
import sys
import time
import zipfile


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    folder, archive = sys.argv[1], sys.argv[2]
    # A zip entry's time has no zone and cannot be before 1980.
    stamp = max(int(os.environ.get("SOURCE_DATE_EPOCH", "0")), 315532800)
    when = time.gmtime(stamp)[:6]
    top = os.path.basename(os.path.normpath(folder))
    with zipfile.ZipFile(archive, "w") as packed:
        for name in sorted(os.listdir(folder)):
            entry = zipfile.ZipInfo(top + "/" + name, date_time=when)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 3
            mode = 0o755 if name.endswith(".exe") else 0o644
            entry.external_attr = (0o100000 | mode) << 16
            with open(os.path.join(folder, name), "rb") as source:
                packed.writestr(entry, source.read(), compresslevel=9)
    return 0


if __name__ == "__main__":
    sys.exit(main())
