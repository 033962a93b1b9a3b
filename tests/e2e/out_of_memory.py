#!/usr/bin/env python3
"""Memory that runs out ends a run in order.

usage: out_of_memory.py OSTXSLT XMLPROBE

Runs the program and the XML probe on generated documents under a limit on their address space
(RLIMIT_AS, as `ulimit -v` sets it), from a limit too small to load the document up to one that
lets the run finish, in even steps, and around the first run that fails after its source loaded
in steps of one MiB. Every run that fails must end with exit code 1 and its own
message, never with a signal (an exception thrown while memory ran out once reached a destructor
that allocated, and the process aborted). At least one transformation must run out after its
source loaded: the front end then prints "Out of memory".

Documents: a wide one (many small records, as the processor's benchmarks use) and a deep one
(many subtrees nested a thousand levels, near what the parser admits). Nothing here depends on
time: each step's outcome is decided by the memory the run needs.

A build with a sanitizer reserves more address space than any limit leaves; such builds are
skipped (exit 77).
"""
import os, resource, subprocess, sys, tempfile

MIB = 1024 * 1024
FIRST_LIMIT = 16 * MIB
STEP = 8 * MIB
FINE_STEP = MIB
LAST_LIMIT = 1024 * MIB

IDENTITY = ('<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">'
            '<xsl:template match="@*|node()"><xsl:copy><xsl:apply-templates select="@*|node()"/>'
            '</xsl:copy></xsl:template></xsl:stylesheet>\n')
COPY = ('<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">'
        '<xsl:template match="/"><xsl:copy-of select="."/></xsl:template></xsl:stylesheet>\n')


def wide_document(records):
    parts = ['<?xml version="1.0" encoding="UTF-8"?>\n<catalog>\n']
    for i in range(records):
        parts.append(f'<item id="i{i}" kind="k{i % 7}"><name>Item number {i} &amp; friends</name>'
                     f'<tags><tag>t{i}</tag><tag v="{i}"/></tags><text>Some text, line {i}.</text></item>\n')
    parts.append('</catalog>\n')
    return ''.join(parts)


def deep_document(subtrees, depth):
    one = '<d>' * depth + 'x' + '</d>' * depth + '\n'
    return '<catalog>\n' + one * subtrees + '</catalog>\n'


def run(command, limit):
    def limit_memory():
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    return subprocess.run(command, capture_output=True, text=True, errors='replace',
                          preexec_fn=limit_memory if limit else None)


def too_little_to_start(result):
    """True for a run the dynamic loader ended before the program began: it could not map a
    shared library, or the thread-local storage of the first thread, under the limit."""
    return result.returncode == 127 and ('error while loading shared libraries' in result.stderr
                                         or 'cannot allocate TLS data structures' in result.stderr)


def fine_scan(name, command, finished, failed_in_order, messages):
    """True when every limit within a coarse step of the first failure after the load ends in
    order; else prints the first that does not."""
    after_load = [m for m in messages if 'Failed to load' not in m.stderr]
    if not after_load:
        return True
    first = after_load[0].limit
    for limit in range(max(FIRST_LIMIT, first - STEP), first + STEP, FINE_STEP):
        result = run(command, limit)
        if too_little_to_start(result) or finished(result) or failed_in_order(result):
            continue
        print(f'{name}: under {limit / MIB:g} MiB: rc={result.returncode}\n'
              f'stdout: {result.stdout[-500:]}\nstderr: {result.stderr[-500:]}')
        return False
    return True


def scan(name, command, finished, failed_in_order, fine=False):
    """Runs `command` unlimited, then under growing limits until it finishes. Returns the
    failures' messages, or None after printing what went wrong. With `fine`, the limits around
    the first one under which the load went through and the run still failed are tried again
    in steps of one MiB: memory that runs out early in the run, where little has been freed,
    must end it in order too (its report needs no memory of its own)."""
    plain = run(command, None)
    if not finished(plain):
        print(f'{name}: fails without a limit: rc={plain.returncode}\n{plain.stdout}{plain.stderr}')
        return None
    messages = []
    limit = FIRST_LIMIT
    while limit <= LAST_LIMIT:
        result = run(command, limit)
        if too_little_to_start(result):
            # Too little for the program to start at all: not yet a run of ours.
            limit += STEP
            continue
        if finished(result):
            return messages if not fine or fine_scan(name, command, finished, failed_in_order,
                                                     messages) else None
        if not failed_in_order(result):
            print(f'{name}: under {limit // MIB} MiB: rc={result.returncode}\n'
                  f'stdout: {result.stdout[-500:]}\nstderr: {result.stderr[-500:]}')
            return None
        result.limit = limit
        messages.append(result)
        limit += STEP
    print(f'{name}: does not finish under {LAST_LIMIT // MIB} MiB')
    return None


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    program, probe = sys.argv[1], sys.argv[2]
    with open(program, 'rb') as f:
        image = f.read()
    if b'AddressSanitizer' in image or b'ThreadSanitizer' in image or b'MemorySanitizer' in image:
        print('a sanitizer build: skipped')
        return 77

    with tempfile.TemporaryDirectory() as folder:
        def write(name, text):
            path = os.path.join(folder, name)
            with open(path, 'w', encoding='utf-8') as f:
                f.write(text)
            return path

        wide = write('wide.xml', wide_document(20000))
        deep = write('deep.xml', deep_document(200, 1000))
        identity = write('identity.xsl', IDENTITY)
        copy = write('copy.xsl', COPY)
        out = os.path.join(folder, 'out.xml')

        def transformed(result):
            return result.returncode == 0
        def transform_failed(result):
            # Exit 1 with a message of the program's own; never a signal
            # (negative) or an abort's 134, nor an exception let through.
            return (result.returncode == 1 and result.stderr.strip() != ''
                    and 'terminate called' not in result.stderr
                    and 'Internal error' not in result.stderr)
        def parsed(result):
            return result.returncode == 0 and result.stdout.startswith('ok ')
        def parse_failed(result):
            return (result.returncode == 1 and result.stdout.startswith('error ')
                    and 'terminate called' not in result.stderr)

        failures = 0
        out_of_memory_seen = False
        for name, command in [('wide, identity', [program, '-xml', wide, '-xsl', identity, '-out', out]),
                              ('wide, copy-of', [program, '-xml', wide, '-xsl', copy, '-out', out]),
                              ('deep, copy-of', [program, '-xml', deep, '-xsl', copy, '-out', out])]:
            messages = scan(name, command, transformed, transform_failed, fine=True)
            if messages is None:
                failures += 1
                continue
            # "Out of memory" under a limit above one that the load did not
            # fit in: memory ran out in the view, the transformation or the
            # output.
            load_failed = False
            for m in messages:
                if 'Failed to load' in m.stderr:
                    load_failed = True
                elif load_failed and m.stderr.strip().splitlines()[-1] == 'Out of memory':
                    out_of_memory_seen = True
        for name, document in [('probe, wide', wide), ('probe, deep', deep)]:
            if scan(name, [probe, 'parse', document], parsed, parse_failed) is None:
                failures += 1
        if failures == 0 and not out_of_memory_seen:
            print('no transformation ran out of memory after its source loaded ("Out of memory")')
            failures += 1
    print('ok' if failures == 0 else f'{failures} failed')
    return 0 if failures == 0 else 1


if __name__ == '__main__':
    sys.exit(main())
