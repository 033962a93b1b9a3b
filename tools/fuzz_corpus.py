#!/usr/bin/env python3
"""Mutation fuzzing of the whole program over the conformance corpus.

usage: fuzz_corpus.py OSTXSLT [--seed S] [--runs N] [--jobs J] [--timeout T] [--keep DIR]

OSTXSLT is best a build with AddressSanitizer and UBSan, e.g.
    cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \\
      -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -O1" \\
      -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
    cmake --build build-asan --target ostxslt

Each run takes one corpus case (../shared/conformance), mutates its stylesheet, its source or both
(half of the runs: one to three XPath fragments spliced into attribute values of the stylesheet, so
that it stays well formed and reaches the compiler and the run; the rest: byte runs deleted,
duplicated or moved, markup fragments, odd bytes and deep nesting inserted) and runs the program in the case's folder. A run fails when the program ends by
a signal or with an exit status above 2, when it outlives the time limit, or when a sanitizer
reports anything. Failing inputs are kept in DIR (default ./fuzz-failures). Not part of ./test.
"""
import concurrent.futures as cf, os, random, re, shutil, subprocess, sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, '..', '..', 'shared', 'conformance')
FRAGMENTS = [b'<', b'>', b'&', b'&amp;', b'&#0;', b'&#x10FFFF;', b'&e;', b']]>', b'<![CDATA[', b'<!--', b'-->',
             b'<?pi x?>', b'"', b"'", b'{', b'}', b'{{', b'$x', b'//', b'..', b'[', b']', b'(', b')', b'|',
             b'<xsl:apply-templates/>', b'<xsl:call-template name="t"/>', b'<xsl:value-of select="."/>',
             b'<xsl:for-each select="//*">', b'</xsl:for-each>', b'<xsl:variable name="x" select="1"/>',
             b'xmlns:p="urn:p"', b'p:', b'\x00', b'\xff\xfe', b'\xc3', b'\xe2\x82', b'\r', b'\t', b' ',
             b'9999999999', b'-1', b'0 div 0', b'NaN', b'key("k", .)', b'document("")', b'format-number(1, "#")',
             b'<xsl:number level="any" count="*" format="i"/>', b'<xsl:sort select="."/>', b'id("x")']


def cases():
    for line in open(os.path.join(CORPUS, 'cases.tsv'), encoding='utf-8'):
        cid, folder, xsl, xml, _ = line.rstrip('\n').split('\t')
        yield cid, os.path.join(CORPUS, folder), xsl, xml


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 6)):
        n = len(data)
        op = rng.random()
        if n == 0:
            data += rng.choice(FRAGMENTS)
            continue
        i = rng.randrange(n)
        j = min(n, i + rng.randint(1, 64))
        if op < 0.2:
            del data[i:j]
        elif op < 0.35:
            data[i:i] = data[i:j] * rng.randint(1, 30)
        elif op < 0.45:
            chunk = data[i:j]
            del data[i:j]
            k = rng.randrange(len(data) + 1)
            data[k:k] = chunk
        elif op < 0.8:
            data[i:i] = rng.choice(FRAGMENTS)
        elif op < 0.9:
            data[i] = rng.randrange(256)
        else:
            # Deep nesting: an element opened many times.
            depth = rng.choice([100, 1000, 5000])
            data[i:i] = b'<d>' * depth + b'x' + b'</d>' * depth
    return bytes(data)


XPATH_BITS = ['//', '..', '[1]', '[last()]', ' | ', ' and ', ' or ', '(', ')', 'count(', '$x', "key('k', .)",
              "'", '*', '@*', 'node()', '-', ' div ', ' mod ', '0', '99999999999', 'name()', '{', '}', '{.}',
              'position()', 'ancestor::*', 'following::node()', 'namespace::*', "document('')", 'sum(', '/',
              "format-number(., '#,##0.0')", "substring(., 2, 3)", 'current()', 'generate-id()', 'text()',
              "translate(., 'a', 'b')", 'id(.)', "concat(., ',')", 'string(', 'number(', 'not(', 'true()']


def gentle(rng, data):
    # One change inside an attribute value: the document stays well formed, so the run reaches
    # the compiler and the transformation.
    values = [m.span(1) for m in re.finditer(rb'="([^"<&]*)"', data)]
    if not values:
        return mutate(rng, data)
    start, end = rng.choice(values)
    bit = rng.choice(XPATH_BITS).encode()
    if rng.random() < 0.3:
        return data[:start] + bit + data[end:]
    at = rng.randint(start, end)
    return data[:at] + bit + data[at:]


def run_one(prog, case, seed, tmp, timeout):
    rng = random.Random(seed)
    cid, folder, xsl, xml = case
    work = os.path.join(tmp, f'r{seed}')
    os.makedirs(work, exist_ok=True)
    xsl_data = open(os.path.join(folder, xsl), 'rb').read()
    xml_data = open(os.path.join(folder, xml), 'rb').read()
    which = rng.random()
    if which < 0.5:
        for _ in range(rng.randint(1, 3)):
            xsl_data = gentle(rng, xsl_data)
    elif which < 0.75:
        xsl_data = mutate(rng, xsl_data)
    else:
        xml_data = mutate(rng, xml_data)
    # The mutated files stand beside the case's own, so relative references still resolve.
    mxsl = os.path.join(folder, f'.fuzz{seed}.xsl')
    mxml = os.path.join(folder, f'.fuzz{seed}.xml')
    open(mxsl, 'wb').write(xsl_data)
    open(mxml, 'wb').write(xml_data)
    out = os.path.join(work, 'out')
    # No leak check: the program leaves its trees to the process's exit on purpose (a fast end).
    env = dict(os.environ, ASAN_OPTIONS='detect_leaks=0:abort_on_error=0',
               UBSAN_OPTIONS='print_stacktrace=1:halt_on_error=0')
    verdict = None
    try:
        r = subprocess.run([prog, '-xml', mxml, '-xsl', mxsl, '-out', out, '-param', "test='v'"],
                           cwd=folder, capture_output=True, timeout=timeout, env=env)
        err = r.stderr.decode('utf-8', 'replace')
        if 'AddressSanitizer' in err or 'runtime error:' in err:
            verdict = 'sanitizer: ' + err[err.find('=='):][:2000] if '==' in err else err[-2000:]
        elif r.returncode < 0 or r.returncode > 2:
            verdict = f'exit {r.returncode}: {err[-500:]}'
    except subprocess.TimeoutExpired:
        verdict = 'timeout'
    finally:
        keep = (verdict, xsl_data, xml_data)
        os.remove(mxsl)
        os.remove(mxml)
        shutil.rmtree(work, ignore_errors=True)
    return cid, seed, keep


def main():
    args = sys.argv[1:]
    if not args or args[0].startswith('-'):
        print(__doc__)
        return 2
    prog = os.path.abspath(args.pop(0))
    seed, runs, jobs, timeout, keep = 1, 3000, 3, 60, 'fuzz-failures'
    it = iter(args)
    for a in it:
        if a == '--seed': seed = int(next(it))
        elif a == '--runs': runs = int(next(it))
        elif a == '--jobs': jobs = int(next(it))
        elif a == '--timeout': timeout = int(next(it))
        elif a == '--keep': keep = next(it)
        else:
            print(__doc__)
            return 2
    rng = random.Random(seed)
    start = time.time()
    failures = 0
    with tempfile.TemporaryDirectory() as tmp, cf.ThreadPoolExecutor(jobs) as ex:
        # The runs write beside a private copy of the corpus, never into the shared one.
        shutil.copytree(os.path.join(CORPUS, 'libxslt'), os.path.join(tmp, 'libxslt'))
        all_cases = [(cid, os.path.join(tmp, os.path.relpath(folder, CORPUS)), xsl, xml)
                     for cid, folder, xsl, xml in cases()]
        plan = [(rng.choice(all_cases), seed * 1000003 + k) for k in range(runs)]
        for cid, s, (verdict, xsl_data, xml_data) in ex.map(lambda p: run_one(prog, p[0], p[1], tmp, timeout), plan):
            if verdict:
                failures += 1
                os.makedirs(keep, exist_ok=True)
                base = os.path.join(keep, f'{cid.replace("/", "__")}-{s}')
                open(base + '.xsl', 'wb').write(xsl_data)
                open(base + '.xml', 'wb').write(xml_data)
                open(base + '.txt', 'w').write(verdict)
                print(f'FAIL {cid} run {s}: {verdict[:300]}', flush=True)
    print(f'{runs} runs in {time.time() - start:.0f} s, {failures} failing')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
