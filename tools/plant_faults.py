#!/usr/bin/env python3
"""Checks that the tests catch faults. Plants each fault of a list in turn (one
textual replacement in one source file), builds, runs the tests named for it
under Wine, reports which tests failed, and puts the source back.

    python3 tools/plant_faults.py [LIST] [NAME-FILTER]

LIST (default tools/planted_faults.py) defines FAULTS, a list of
(name, file, old text, new text, ctest regex). A fault is "caught" when one of
its tests fails; "NOT CAUGHT" means every test passed with the fault in place.
The regex BUILD means the build itself must refuse the fault: it is caught
when the post-link step fails the build. QuorvelTrace.exe is linked again
around a fault of the post-link step, which runs only after a link.
Uses the build directory of scripts/common.sh; run it on a clean work tree
and never two at once: the sources are changed while it runs.
"""
import os
import runpy
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUN = r'''
source scripts/common.sh
qv_build >"$QV_BUILD/plant-build.txt" 2>&1 || exit 3
trap qv_cleanup EXIT
qv_start_xvfb && qv_start_wine
cd "$QV_BUILD" && ctest --output-on-failure -R "$1"
'''


def verdict(name, path, old, new, regex):
    full = os.path.join(ROOT, path)
    text = open(full).read()
    if text.count(old) != 1:
        return 'the text to replace occurs %d times' % text.count(old)
    image = os.path.join(ROOT, 'build', 'QuorvelTrace.exe')
    relink = path.startswith('tools/point_load_config')
    if relink and os.path.exists(image):
        os.remove(image)
    open(full, 'w').write(text.replace(old, new))
    try:
        os.makedirs(os.path.join(ROOT, 'build'), exist_ok=True)
        log_path = os.path.join(ROOT, 'build', 'plant-run.txt')
        # Through a file: Wine's helper processes would hold a pipe open.
        with open(log_path, 'w') as log:
            code = subprocess.call(['bash', '-c', RUN, 'plant', 'NONE' if regex == 'BUILD' else regex], cwd=ROOT,
                                   stdout=log,
                                   stderr=subprocess.STDOUT)
        out = open(log_path, errors='replace').read()
    finally:
        open(full, 'w').write(text)
        if relink and os.path.exists(image):
            os.remove(image)
    build_log = os.path.join(ROOT, 'build', 'plant-build.txt')
    if regex == 'BUILD':
        refused = code == 3 and 'point_load_config:' in open(build_log, errors='replace').read()
        return 'caught by the build (post-link step)' if refused else 'NOT CAUGHT'
    if code == 3:
        return 'does not build (see build/plant-build.txt of a rerun)'
    if code == 0:
        return 'NOT CAUGHT'
    failed = sorted({l.split()[3] for l in out.splitlines()
                     if l.startswith('[  FAILED  ]') and len(l.split()) > 3 and 'listed' not in l})
    extra = ' (crash)' if 'CRASH' in out else ' (stopped)' if 'TIMEOUT' in out else ''
    return 'caught by ' + ', '.join(failed) + extra


def main():
    faults = runpy.run_path(sys.argv[1] if len(sys.argv) > 1 else
                            os.path.join(ROOT, 'tools', 'planted_faults.py'))['FAULTS']
    only = sys.argv[2] if len(sys.argv) > 2 else None
    missed = 0
    for fault in faults:
        if only and only not in fault[0]:
            continue
        result = verdict(*fault)
        missed += not result.startswith('caught')
        print('%-32s %s' % (fault[0], result), flush=True)
    return 1 if missed else 0


if __name__ == '__main__':
    sys.exit(main())
