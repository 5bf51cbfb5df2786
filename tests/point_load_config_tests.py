#!/usr/bin/env python3
"""The post-link step run again on copies of the built QuorvelTrace.exe whose
load-configuration record was changed: it passes a record that carries the
System32 flag within its Size, and otherwise fails, naming the fault, and
deletes the image so that the next build links it again.

Usage: point_load_config_tests.py QuorvelTrace.exe"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "point_load_config.py")


def record_offset(image):
    """File offset of the record the built image's load-configuration
    directory points at (entry 10 of the 64-bit optional header)."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H", image, pe + 6)[0], struct.unpack_from("<H", image, pe + 20)[0]
    rva = struct.unpack_from("<I", image, pe + 24 + 112 + 10 * 8)[0]
    for i in range(sections):
        start, raw_size, raw_offset = struct.unpack_from("<III", image, pe + 24 + optional_size + i * 40 + 12)
        if start <= rva < start + raw_size:
            return raw_offset + rva - start
    sys.exit("no load configuration in the built image")


def main(built):
    original = open(built, "rb").read()
    at = record_offset(original)
    cases = [  # Size, DependentLoadFlags (16 bits at byte 78), what the step says or None
        (None, None, None),
        (80, 0x800, None),
        (79, 0x800, "Size 79 ends before DependentLoadFlags"),
        (64, 0x800, "Size 64 ends before DependentLoadFlags"),
        (None, 0x0, "DependentLoadFlags 0x0 lacks LOAD_LIBRARY_SEARCH_SYSTEM32"),
        (None, 0x1000, "DependentLoadFlags 0x1000 lacks LOAD_LIBRARY_SEARCH_SYSTEM32"),
        (None, 0xA00, None),
    ]
    failures = 0
    with tempfile.TemporaryDirectory() as folder:
        for size, flags, refusal in cases:
            copy = bytearray(original)
            if size is not None:
                struct.pack_into("<I", copy, at, size)
            if flags is not None:
                struct.pack_into("<H", copy, at + 78, flags)
            path = os.path.join(folder, "QuorvelTrace.exe")
            open(path, "wb").write(copy)
            run = subprocess.run([sys.executable, TOOL, path], capture_output=True, text=True)
            said = run.stderr.strip()
            ok = (run.returncode != 0 and refusal is not None and refusal in said and not os.path.exists(path)) or \
                 (run.returncode == 0 and refusal is None and os.path.exists(path) and
                  (size is not None or flags is not None or open(path, "rb").read() == original))
            print("%s size %s, flags %s: exit %d %s" % ("ok  " if ok else "FAIL", size, flags, run.returncode, said))
            failures += not ok
    print("%d passed, %d failed" % (len(cases) - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
