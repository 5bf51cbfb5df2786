#!/usr/bin/env python3
"""Writes the release archive of scripts/package. Checks the built programs
first (the PE checksum as Windows computes it, one version in every version
record), then writes DIST/QuorvelTrace-VERSION-x64.zip holding the programs,
README.txt (from README, CR LF, @VERSION@ filled in) and SHA256SUMS, and
prints the archive's path and the hashes. The same programs give the same
archive: fixed entry order, times and attributes.

Usage: pack_release.py DIST README PROGRAM..."""
import hashlib
import os
import struct
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from point_load_config import CHECKSUM, pe_checksum  # noqa: E402

VERSION_KEY = "VS_VERSION_INFO\0".encode("utf-16-le")
FIXED_FILE_INFO = 0xFEEF04BD
ENTRY_TIME = (1980, 1, 1, 0, 0, 0)      # the earliest time a zip entry holds


def fail(message):
    sys.exit("pack_release: " + message)


def check_checksum(name, image):
    field = struct.unpack_from("<I", image, 0x3C)[0] + 24 + CHECKSUM
    if struct.unpack_from("<I", image, field)[0] != pe_checksum(image, field):
        fail(name + ": the PE checksum is not the file's")


def file_version(name, image):
    """FILEVERSION of the version record: the fixed part follows the key and
    its padding to four bytes."""
    key = image.find(VERSION_KEY)
    if key < 0 or struct.unpack_from("<I", image, key + 34)[0] != FIXED_FILE_INFO:
        fail(name + " has no version record")
    high, low = struct.unpack_from("<II", image, key + 42)
    return "%d.%d.%d.%d" % (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)


def main(dist, readme, programs):
    entries = []
    versions = set()
    for path in programs:
        name = os.path.basename(path)
        with open(path, "rb") as f:
            image = f.read()
        check_checksum(name, image)
        versions.add(file_version(name, image))
        entries.append((name, image))
    if len(versions) != 1:
        fail("the programs' version records differ: " + ", ".join(sorted(versions)))
    version = versions.pop()
    sums = "".join("%s  %s\r\n" % (hashlib.sha256(image).hexdigest(), name) for name, image in entries)
    with open(readme, encoding="ascii") as f:
        text = f.read().replace("@VERSION@", version)
    text = "".join(line + "\r\n" for line in text.splitlines())   # whatever line ends the checkout has
    entries += [("README.txt", text.encode("ascii")), ("SHA256SUMS", sums.encode("ascii"))]

    os.makedirs(dist, exist_ok=True)
    archive = os.path.join(dist, "QuorvelTrace-%s-x64.zip" % version)
    with zipfile.ZipFile(archive + ".part", "w") as out:
        for name, data in entries:
            entry = zipfile.ZipInfo(name, ENTRY_TIME)
            entry.create_system = 0     # MS-DOS attributes, whatever system packs it
            entry.external_attr = 0
            entry.compress_type = zipfile.ZIP_DEFLATED
            out.writestr(entry, data, compresslevel=9)
    os.replace(archive + ".part", archive)
    with open(archive, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    print(os.path.abspath(archive))
    print(sums.replace("\r\n", "\n"), end="")
    print("%s  %s (the archive)" % (digest, os.path.basename(archive)))


if __name__ == "__main__":
    if len(sys.argv) < 4:
        fail("usage: pack_release.py DIST README PROGRAM...")
    main(sys.argv[1], sys.argv[2], sys.argv[3:])
