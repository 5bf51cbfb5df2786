#!/usr/bin/env python3
"""Post-link step of QuorvelTrace.exe: points the load-configuration data
directory at the executable's _load_config_used record. GNU ld 2.40 links the
record but leaves the directory empty, so Windows' loader would never read it
(and with it the DependentLoadFlags that keep planted DLLs out). Refuses a
record too short to hold DependentLoadFlags or without its System32 flag,
and writes the PE checksum again. On refusal the image is deleted, so that the
next build links it again and fails again.

Usage: point_load_config.py IMAGE  (rewrites IMAGE in place)."""
import array
import os
import struct
import sys

SYMBOL = b"_load_config_used"
LOAD_CONFIG_DIRECTORY = 10
SECTION_BYTES = 40
SYMBOL_BYTES = 18
DEPENDENT_LOAD_FLAGS = 78       # 16-bit field of IMAGE_LOAD_CONFIG_DIRECTORY64
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800
CHECKSUM = 64                   # offset in the optional header


def fail(message, image_path=None):
    if image_path is not None and os.path.exists(image_path):
        os.remove(image_path)
    sys.exit("point_load_config: " + message)


def pe_checksum(image, field):
    """The sum Windows checks: 16-bit words with end-around carry, the
    checksum field counted as zero, plus the file's length."""
    data = bytes(image[:field]) + b"\0\0\0\0" + bytes(image[field + 4:])
    if len(data) % 2:
        data += b"\0"
    total = sum(array.array("H", data))   # little-endian host, as the image
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def symbol_name(image, record, strings):
    if record[:4] == b"\0\0\0\0":
        start = strings + struct.unpack_from("<I", record, 4)[0]
        return bytes(image[start:image.index(b"\0", start)])
    return bytes(record[:8]).rstrip(b"\0")


def main(path):
    with open(path, "rb") as f:
        image = bytearray(f.read())
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        fail(path + " is not a PE image")
    sections_count, _, symbols, symbols_count, optional_size = struct.unpack_from("<HIIIH", image, pe + 6)
    optional = pe + 24
    if struct.unpack_from("<H", image, optional)[0] != 0x20B:
        fail(path + " is not a 64-bit image")
    directories = optional + 112
    sections = [struct.unpack_from("<IIII", image, optional + optional_size + i * SECTION_BYTES + 8)
                for i in range(sections_count)]   # virtual size, RVA, raw size, raw offset

    strings = symbols + symbols_count * SYMBOL_BYTES
    rva = None
    i = 0
    while i < symbols_count:
        record = image[symbols + i * SYMBOL_BYTES:symbols + (i + 1) * SYMBOL_BYTES]
        value, section, _, _, aux = struct.unpack_from("<IhHBB", record, 8)
        if section > 0 and symbol_name(image, record, strings) == SYMBOL:
            rva = sections[section - 1][1] + value
            break
        i += 1 + aux
    if rva is None:
        fail(path + " has no " + SYMBOL.decode() + " in its symbol table")

    for _, start, raw_size, raw_offset in sections:
        if start <= rva < start + raw_size - DEPENDENT_LOAD_FLAGS - 2:
            at = raw_offset + rva - start
            break
    else:
        fail(SYMBOL.decode() + " lies outside the file's sections", path)
    size = struct.unpack_from("<I", image, at)[0]
    flags = struct.unpack_from("<H", image, at + DEPENDENT_LOAD_FLAGS)[0]
    if size < DEPENDENT_LOAD_FLAGS + 2:
        fail("%s: the load configuration's Size %d ends before DependentLoadFlags" % (path, size), path)
    if not flags & LOAD_LIBRARY_SEARCH_SYSTEM32:
        fail("%s: DependentLoadFlags 0x%x lacks LOAD_LIBRARY_SEARCH_SYSTEM32" % (path, flags), path)
    # The directory's size is the record's own Size field, as Microsoft's
    # and LLVM's linkers write it.
    struct.pack_into("<II", image, directories + LOAD_CONFIG_DIRECTORY * 8, rva, size)
    struct.pack_into("<I", image, optional + CHECKSUM, pe_checksum(image, optional + CHECKSUM))
    with open(path, "r+b") as f:
        f.write(image)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        fail("usage: point_load_config.py IMAGE")
    main(sys.argv[1])
