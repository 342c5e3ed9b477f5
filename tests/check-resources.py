#!/usr/bin/env python3
"""Checks what Windows reads from the program file before any code runs: the
one manifest (resource type 24, id 1) is well-formed XML asking for common
controls 6, asInvoker and system DPI awareness on Windows 7 to 11, and the
version block names the product with the version the build was given.
Reads the PE resource directory itself, so it needs no Windows tool.
    check-resources.py PROGRAM.exe VERSION-FILE
"""
import struct
import sys
import xml.etree.ElementTree as ElementTree

RT_VERSION = 16
RT_MANIFEST = 24
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
SETTINGS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}
VERSION_TEXTS = ("CompanyName", "FileDescription", "LegalCopyright", "ProductName", "FileVersion")

failures = []


def fail(text):
    failures.append(text)


def readResources(data):
    """{type: [(id, bytes)]} from the PE file's resource section."""
    peOffset = struct.unpack_from("<I", data, 0x3C)[0]
    if data[peOffset:peOffset + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    sectionCount, = struct.unpack_from("<H", data, peOffset + 6)
    optionalSize, = struct.unpack_from("<H", data, peOffset + 20)
    optional = peOffset + 24
    magic, = struct.unpack_from("<H", data, optional)
    directories = optional + (96 if magic == 0x10B else 112)
    resourceRva, resourceSize = struct.unpack_from("<II", data, directories + 2 * 8)
    if resourceSize == 0:
        return {}
    sections = []
    for i in range(sectionCount):
        entry = optional + optionalSize + i * 40
        virtualSize, virtualAddress, rawSize, rawOffset = struct.unpack_from("<IIII", data, entry + 8)
        sections.append((virtualAddress, max(virtualSize, rawSize), rawOffset))

    def fileOffset(rva):
        for start, size, raw in sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("RVA %#x is in no section" % rva)

    base = fileOffset(resourceRva)

    def entries(offset):
        names, ids = struct.unpack_from("<HH", data, base + offset + 12)
        for i in range(names + ids):
            key, value = struct.unpack_from("<II", data, base + offset + 16 + i * 8)
            yield key, value

    resources = {}
    for kind, names in entries(0):
        for name, languages in entries(names & 0x7FFFFFFF):
            for _, leaf in entries(languages & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", data, base + leaf)
                start = fileOffset(rva)
                resources.setdefault(kind, []).append((name, data[start:start + size]))
    return resources


def checkManifest(resources):
    manifests = resources.get(RT_MANIFEST, [])
    if len(manifests) != 1 or manifests[0][0] != 1:
        fail("want exactly one manifest, id 1; found ids %s" % [name for name, _ in manifests])
        return
    try:
        root = ElementTree.fromstring(manifests[0][1])
    except ElementTree.ParseError as error:
        fail("the manifest is not well-formed XML: %s" % error)
        return
    if root.tag != ASM_V1 + "assembly":
        fail("the manifest's root is %s, not assembly" % root.tag)
    controls = [identity for identity in root.iter(ASM_V1 + "assemblyIdentity")
                if identity.get("name") == "Microsoft.Windows.Common-Controls"]
    if len(controls) != 1 or not controls[0].get("version", "").startswith("6."):
        fail("the manifest does not ask for common controls 6")
    levels = [level.get("level") for level in root.iter(ASM_V3 + "requestedExecutionLevel")]
    if levels != ["asInvoker"]:
        fail("requestedExecutionLevel is %s, not asInvoker" % levels)
    systems = {system.get("Id", "").lower() for system in root.iter(COMPAT + "supportedOS")}
    for guid, name in SUPPORTED_OS.items():
        if guid not in systems:
            fail("supportedOS lacks %s" % name)
    aware = [setting.text.strip().lower() for setting in root.iter(SETTINGS_2005 + "dpiAware")]
    if aware != ["true"]:
        fail("dpiAware is %s, not true (system awareness)" % aware)
    if list(root.iter(SETTINGS_2016 + "dpiAwareness")):
        fail("dpiAwareness is set: the program is system aware, not per monitor")


def versionStrings(block):
    """The StringFileInfo texts of a VS_VERSIONINFO block, by name."""
    texts = {}

    def walk(offset, end, depth):
        while offset + 6 <= end:
            length, valueLength, isText = struct.unpack_from("<HHH", block, offset)
            if length == 0:
                break
            keyEnd = offset + 6
            while block[keyEnd:keyEnd + 2] != b"\0\0":
                keyEnd += 2
            key = block[offset + 6:keyEnd].decode("utf-16-le")
            value = (keyEnd + 2 + 3) & ~3
            if depth == 0:
                if struct.unpack_from("<I", block, value)[0] != 0xFEEF04BD:
                    fail("the version block has no fixed file information")
            if depth == 3 and isText:
                texts[key] = block[value:value + 2 * valueLength].decode("utf-16-le").rstrip("\0")
            children = (value + (valueLength * (2 if isText else 1)) + 3) & ~3
            walk(children, offset + length, depth + 1)
            offset = (offset + length + 3) & ~3

    walk(0, len(block), 0)
    return texts


def checkVersion(resources, version):
    blocks = resources.get(RT_VERSION, [])
    if len(blocks) != 1:
        fail("want exactly one version block; found %d" % len(blocks))
        return
    texts = versionStrings(blocks[0][1])
    if texts.get("ProductVersion") != version:
        fail("ProductVersion is %r, the build's version is %r" % (texts.get("ProductVersion"), version))
    for name in VERSION_TEXTS:
        if not texts.get(name):
            fail("the version block has no %s" % name)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with open(sys.argv[1], "rb") as program:
        resources = readResources(program.read())
    with open(sys.argv[2]) as versionFile:
        version = versionFile.read().strip()
    checkManifest(resources)
    checkVersion(resources, version)
    for text in failures:
        print("%s: %s" % (sys.argv[1], text))
    if not failures:
        print("%s: manifest and version %s in order" % (sys.argv[1], version))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
