#!/usr/bin/env python3
"""Runs the realistic faults of tests/faults.json against the test suite.

Each fault is {"id", "file", "find", "replace", "fault"}: "find" occurs exactly once in
"file", "replace" is what a careless edit would put there, "fault" says what goes wrong.
The checkout is copied (git's tracked and untracked-but-not-ignored files) into a work
folder and built once; then, one fault at a time, the file is changed, the build is brought
up to date, ctest runs, and the file is put back. A fault is caught when a test fails that
passed without it.

usage: scripts/faults.py [--only ID,ID] [--tests REGEX] [--exclude REGEX] [--timeout S]
                         [--work DIR] [--keep] [--configure=ARGS]
       scripts/faults.py --check     (only that every "find" occurs once in its file)

--tests runs a smaller suite (ctest -R), to see whether it still catches what the whole
suite does. --configure=ARGS gives the build more CMake arguments: =-DBRENZOLT_PLATFORM=posix tries
the faults on the generic POSIX build, where the temporary file has a name while the grid is
written. The last line reads "caught K of N (compiled C)".
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FAILED = re.compile(r'^\s*\d+\s+-\s+(\S+)')


def faults_of(path, only):
    with open(path) as fh:
        faults = json.load(fh)
    if only:
        wanted = set(only.split(','))
        unknown = wanted - {f['id'] for f in faults}
        if unknown:
            sys.exit('unknown fault ids: ' + ', '.join(sorted(unknown)))
        faults = [f for f in faults if f['id'] in wanted]
    return faults


def check(root, faults):
    """Every "find" once in its file; returns the complaints."""
    complaints = []
    for f in faults:
        try:
            with open(os.path.join(root, f['file'])) as fh:
                count = fh.read().count(f['find'])
        except OSError as e:
            complaints.append('%s: %s' % (f['id'], e.strerror))
            continue
        if count != 1:
            complaints.append('%s: the text to change occurs %d times in %s' % (f['id'], count, f['file']))
    return complaints


def run(command, cwd, log, timeout=None):
    """Runs a shell command with its output in `log`, without core files and with a file size
    limit, so that a fault that loops writing cannot fill the disk; returns its status."""
    with open(log, 'wb') as out:
        try:
            return subprocess.run(['bash', '-c', 'ulimit -c 0; ulimit -f 2097152; ' + command], cwd=cwd,
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                  timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            return -1


def failing_tests(build, args, log):
    command = 'ctest --test-dir build -j 2 --timeout %d' % args.timeout
    if args.tests:
        command += " -R '%s'" % args.tests
    # The fault list's own check fails whenever a fault is in place: it says nothing.
    command += " -E '%s'" % '|'.join(filter(None, ['faults_list_test', args.exclude]))
    status = run(command, build, log)
    with open(log, errors='replace') as fh:
        text = fh.read()
    # The list after "The following tests FAILED:" (the one before it names the skipped tests).
    listed = text.split('The following tests FAILED:')[1:]
    failed = {m.group(1) for m in map(FAILED.match, ''.join(listed).splitlines()) if m}
    return failed or ({'(ctest status %d)' % status} if status else set())


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--only', help='fault ids, comma-separated')
    ap.add_argument('--tests', help='ctest -R: run only these tests')
    ap.add_argument('--exclude', help='ctest -E: leave these tests out')
    ap.add_argument('--timeout', type=int, default=60, help='seconds per test')
    ap.add_argument('--work', default=os.path.join(os.environ.get('TMPDIR', '/tmp'), 'brenzolt-faults'))
    ap.add_argument('--keep', action='store_true', help='keep the work folder')
    ap.add_argument('--configure', default='', help='more CMake arguments for the build')
    ap.add_argument('--check', action='store_true', help='only check the fault list against the sources')
    args = ap.parse_args()
    faults = faults_of(os.path.join(TOP, 'tests', 'faults.json'), args.only)
    complaints = check(TOP, faults)
    if args.check or complaints:
        print('\n'.join(complaints) or '%d faults, each text to change found once' % len(faults))
        sys.exit(1 if complaints else 0)

    src = os.path.join(args.work, 'src')
    shutil.rmtree(args.work, ignore_errors=True)
    names = subprocess.run(['git', '-C', TOP, 'ls-files', '-z', '-co', '--exclude-standard'], check=True,
                           capture_output=True).stdout.decode().split('\0')
    for name in filter(None, names):
        if os.path.lexists(os.path.join(TOP, name)):
            os.makedirs(os.path.dirname(os.path.join(src, name)), exist_ok=True)
            shutil.copy2(os.path.join(TOP, name), os.path.join(src, name), follow_symlinks=False)
    log = os.path.join(args.work, 'log')
    if run('cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBRENZOLT_TESTS=ON %s && cmake --build build -j 2'
           % args.configure, src, log) != 0:
        sys.exit('the build without faults failed: see ' + log)
    baseline = failing_tests(src, args, log)
    print('without faults: %s' % (', '.join(sorted(baseline)) or 'every test passes'), flush=True)

    caught = compiled = 0
    for f in faults:
        path = os.path.join(src, f['file'])
        with open(path) as fh:
            original = fh.read()
        try:
            with open(path, 'w') as fh:
                fh.write(original.replace(f['find'], f['replace'], 1))
            if run('cmake --build build -j 2', src, log) != 0:
                verdict = 'does not compile'
            else:
                compiled += 1
                new = sorted(failing_tests(src, args, log) - baseline)
                caught += bool(new)
                verdict = 'caught by ' + ', '.join(new) if new else 'NOT CAUGHT: ' + f['fault']
        finally:
            with open(path, 'w') as fh:
                fh.write(original)
        print('%-36s %s' % (f['id'], verdict), flush=True)
    if not args.keep:
        shutil.rmtree(args.work, ignore_errors=True)
    print('caught %d of %d (compiled %d)' % (caught, len(faults), compiled))


if __name__ == '__main__':
    main()
