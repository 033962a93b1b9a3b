#!/usr/bin/env python3
"""Mutation fuzzer for the ostxslt program.

Takes the stylesheets and sources of the conformance corpus (../shared/conformance)
and of tests/data, mutates them (byte flips, truncation, duplicated or deleted
elements and attributes, deep nesting, huge numbers, odd XPath expressions,
recursive templates, entity tricks) and runs the program on each case with a
time limit. A case is a finding when the program ends by a signal or with a status
above 2, prints a sanitizer report, or runs past the limit. Findings are saved
(stylesheet, source, stderr) under the output folder.

Build the program with sanitizers first, e.g.
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer"
  cmake --build build-asan -j4 --target ostxslt
then
  tools/fuzz_transform.py build-asan/src/app/ostxslt --count 3000 --seed 27

Not part of ./test: a run takes minutes and its value lies in what it finds.
"""
import argparse
import concurrent.futures as cf
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CORPUS = os.path.join(ROOT, '..', 'shared', 'conformance')

ODD_XPATH = [
    '1 div 0', '-1 div 0', '0 div 0', '999999999999999999999999999999999', '1e308',
    '-0', 'number("1e400")', 'string(1 div 0)', 'format-number(1e300, "#,##0.00")',
    'format-number(-1 div 0, "0")', 'format-number(0 div 0, "#")',
    'format-number(123456789012345678901234567890, "###,###.###E0")',
    'substring("abc", 1 div 0, -1 div 0)', 'substring("abc", 0 div 0)',
    'substring("abcdef", -999999999999, 999999999999999)',
    'translate("abc", "", "xyz")', 'concat("a", "b", "c", "d", "e", "f", "g")',
    '//node()[last()]', '//@*[position() = last() - 1]', '(//*)[9999999999]',
    '(//*)[-1]', '(//*)[0 div 0]', 'id(//@*)', 'key("nokey", "x")', 'document("")',
    'document("nonexistent.xml")', 'document(//@*)', 'generate-id(/..)',
    'namespace::*', '//namespace::*/..', 'ancestor-or-self::node()/preceding::node()',
    'count(//node()/following::node())', 'sum(//@*)', 'round(1e308)', 'round(-0.5)',
    'floor(-1 div 0)', 'ceiling(0 div 0)', 'string-length(/)', 'normalize-space()',
    'starts-with((), ())', 'contains(., /)', 'lang("")', 'local-name(namespace::*)',
    'name(..)', 'unparsed-entity-uri("x")', 'system-property("xsl:version")',
    'element-available("xsl:foo")', 'function-available("foo:bar")', 'current()/..',
    '$undefined', 'foo:bar()', '1 +', '((((((((((1))))))))))', '"unterminated',
    '/ | /', '//* | //@* | //text()', '. = .', '//* = //*', '//* != //*', '//* < 1',
    'true() > "a"', '-(-(-(-(-1))))', '1 mod 0', '-7 mod 0', '7 mod -0',
    '9007199254740993 * 9007199254740993', 'number(" ")', 'boolean(0 div 0)',
    '*[*[*[*[*[*[*[*[*[*]]]]]]]]]', '@*[@*]', 'text()/text()', 'processing-instruction("x")',
    'comment()[1]/..', '..//..//..', '/descendant::*/ancestor::*/descendant::*',
]

ODD_PATTERNS = ['*', '/', 'node()', '@*', 'text()', '*[1]', '*[last()]', 'id("x")',
                'key("k", "v")', '//*', 'a|b|c', '*[position() = 0 div 0]', 'x:y',
                'processing-instruction()', 'comment()', '*//*/*', 'foo[', '']

HUGE = ['99999999999999999999999999999', '1e308', '-1e308', '4294967297', '2147483648',
        '-2147483649', '18446744073709551617', 'NaN', 'Infinity', '-0', '0.0000000000000000001']

RECURSIVE_TEMPLATES = [
    '<xsl:template name="fz-rec"><xsl:param name="n" select="0"/>'
    '<xsl:call-template name="fz-rec"><xsl:with-param name="n" select="$n + 1"/></xsl:call-template>'
    '</xsl:template>',
    '<xsl:template match="/" priority="99"><xsl:apply-templates select="." mode="fz"/></xsl:template>'
    '<xsl:template match="node()|/" mode="fz"><xsl:apply-templates select="." mode="fz"/></xsl:template>',
    '<xsl:template match="/" priority="99"><xsl:apply-templates select="/"/></xsl:template>',
    '<xsl:variable name="fz-a" select="$fz-b"/><xsl:variable name="fz-b" select="$fz-a"/>',
    '<xsl:attribute-set name="fz-s" use-attribute-sets="fz-s"/>',
    '<xsl:template match="/" priority="99"><xsl:variable name="t">'
    '<xsl:copy-of select="/"/><xsl:copy-of select="/"/></xsl:variable>'
    '<xsl:for-each select="//*"><xsl:number level="any" count="node()" format="I. a. 1"/></xsl:for-each>'
    '</xsl:template>',
    '<xsl:template match="/" priority="99"><xsl:call-template name="fz-rec2"/></xsl:template>'
    '<xsl:template name="fz-rec2"><x><xsl:call-template name="fz-rec2"/></x></xsl:template>',
]

ENTITY_TRICKS = [
    '<!DOCTYPE r [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">'
    '<!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;"><!ENTITY d "&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;">'
    '<!ENTITY e "&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;"><!ENTITY f "&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;">'
    '<!ENTITY g "&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;"><!ENTITY h "&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;">'
    '<!ENTITY i "&h;&h;&h;&h;&h;&h;&h;&h;&h;&h;">]>',
    '<!DOCTYPE r [<!ENTITY a "&b;"><!ENTITY b "&a;">]>',
    '<!DOCTYPE r [<!ENTITY a "<x>&a;</x>">]>',
    '<!DOCTYPE r [<!ENTITY ext SYSTEM "/etc/passwd"><!ENTITY e2 SYSTEM "nonexistent.ent">]>',
    '<!DOCTYPE r [<!ENTITY % p "<!ENTITY q \'x\'>"> %p; <!ENTITY half "<a>">]>',
    '<!DOCTYPE r [<!ATTLIST r id ID #IMPLIED x CDATA "default&#0;"><!ENTITY u SYSTEM "x" NDATA n>]>',
    '<!DOCTYPE r SYSTEM "http://127.0.0.1:9/none.dtd">',
    '<!DOCTYPE r [<!ELEMENT r ANY><!ATTLIST r a CDATA #FIXED "&#x10FFFF;&#xD800;">]>',
]

ENTITY_REFS = ['&i;', '&a;', '&ext;', '&e2;', '&half;', '&q;', '&#0;', '&#xFFFE;', '&#x110000;',
               '&#99999999999;', '&#;', '&lt', '&amp;amp;', '&undefined;']

ELEMENT_RE = re.compile(rb'<([A-Za-z_][\w.:-]*)(\s[^<>]*?)?(/>|>(?:[^<]|<(?!/?\1[\s>/]))*?</\1\s*>)',
                        re.S)
ATTR_RE = re.compile(rb'\s([\w.:-]+)\s*=\s*("[^"]*"|\'[^\']*\')')
SELECT_RE = re.compile(rb'\b(select|test|match|use|count|from|value|name)\s*=\s*("[^"]*"|\'[^\']*\')')


def pick_span(rng, data, regex):
    spans = [m.span() for m in regex.finditer(data)]
    return rng.choice(spans) if spans else None


def mutate_bytes(rng, data):
    data = bytearray(data)
    if not data:
        return bytes(data)
    kind = rng.randrange(5)
    if kind == 0:
        for _ in range(rng.randint(1, 8)):
            i = rng.randrange(len(data))
            data[i] ^= 1 << rng.randrange(8)
    elif kind == 1:
        del data[rng.randrange(len(data)):]
    elif kind == 2:
        i = rng.randrange(len(data))
        data[i:i] = rng.choice([b'<', b'>', b'&', b'"', b"'", b'\x00', b'\xff\xfe', b'\xed\xa0\x80',
                                b']]>', b'<![CDATA[', b'<?', b'<!--', b'\xc3', b'\xf4\x90\x80\x80'])
    elif kind == 3:
        i = rng.randrange(len(data))
        j = min(len(data), i + rng.randint(1, 64))
        del data[i:j]
    else:
        i = rng.randrange(len(data))
        j = min(len(data), i + rng.randint(1, 200))
        data[i:i] = data[i:j] * rng.randint(2, 20)
    return bytes(data)


def mutate_structure(rng, data):
    kind = rng.randrange(4)
    if kind == 0:  # duplicate an element
        span = pick_span(rng, data, ELEMENT_RE)
        if span:
            a, b = span
            return data[:b] + data[a:b] * rng.randint(1, 50) + data[b:]
    elif kind == 1:  # delete an element
        span = pick_span(rng, data, ELEMENT_RE)
        if span:
            return data[:span[0]] + data[span[1]:]
    elif kind == 2:  # duplicate an attribute
        span = pick_span(rng, data, ATTR_RE)
        if span:
            a, b = span
            return data[:b] + data[a:b] + data[b:]
    else:  # delete an attribute
        span = pick_span(rng, data, ATTR_RE)
        if span:
            return data[:span[0]] + data[span[1]:]
    return mutate_bytes(rng, data)


def root_span(data):
    """Byte offsets just after the root start tag and just before its end tag."""
    start_tag = re.compile(rb'<([A-Za-z_][\w.:-]*)[^<>]*?(?<!/)>')
    m = start_tag.search(data)
    if not m:
        return None
    end = data.rfind(b'</')
    if end < m.end():
        return None
    return m.end(), end


def mutate_nesting(rng, data, stylesheet):
    span = root_span(data)
    if not span:
        return mutate_bytes(rng, data)
    a, b = span
    depth = rng.choice([100, 1000, 5000, 20000, 100000])
    if stylesheet and rng.random() < 0.5:
        inner = b'<xsl:if test="true()">' * depth + b'x' + b'</xsl:if>' * depth
        tpl = b'<xsl:template match="/" priority="99">' + inner + b'</xsl:template>'
        return data[:a] + tpl + data[a:]
    if stylesheet and rng.random() < 0.5:
        expr = b'(' * depth + b'1' + b')' * depth
        if rng.random() < 0.5:
            expr = b'-' * depth + b'1'
        if rng.random() < 0.3:
            expr = b'*' + b'[*' * depth + b']' * depth
        return data[:a] + b'<xsl:template match="/" priority="99"><xsl:value-of select="' + expr + \
            b'"/></xsl:template>' + data[a:]
    return data[:a] + b'<d>' * depth + data[a:b] + b'</d>' * depth + data[b:]


def mutate_numbers(rng, data):
    nums = [m.span() for m in re.finditer(rb'\d+(\.\d+)?', data)]
    if not nums:
        return mutate_bytes(rng, data)
    for _ in range(rng.randint(1, 3)):
        a, b = rng.choice(nums)
        data = data[:a] + rng.choice(HUGE).encode() + data[b:]
        nums = [m.span() for m in re.finditer(rb'\d+(\.\d+)?', data)]
        if not nums:
            break
    return data


def mutate_xpath(rng, data):
    span = pick_span(rng, data, SELECT_RE)
    if not span:
        return mutate_bytes(rng, data)
    m = SELECT_RE.match(data, span[0]) or SELECT_RE.search(data, span[0])
    attr = m.group(1)
    if attr == b'match':
        value = rng.choice(ODD_PATTERNS)
    elif attr in (b'name', b'value', b'count', b'from') and rng.random() < 0.5:
        value = rng.choice(ODD_PATTERNS + ['{', '}', '{{', 'a{1 div 0}b', 'xsl:foo', ':', '1abc'])
    else:
        value = rng.choice(ODD_XPATH)
        if rng.random() < 0.3:
            value = value + ' | ' + rng.choice(ODD_XPATH)
    value = value.replace('"', '&quot;').replace('<', '&lt;')
    return data[:m.start(2)] + b'"' + value.encode() + b'"' + data[m.end(2):]


def mutate_recursion(rng, data):
    span = root_span(data)
    if not span:
        return mutate_bytes(rng, data)
    a, _ = span
    extra = rng.choice(RECURSIVE_TEMPLATES).encode()
    if b'fz-rec"' in extra and b'priority' not in extra:
        extra += b'<xsl:template match="/" priority="99"><xsl:call-template name="fz-rec"/></xsl:template>'
    if b'fz-s' in extra:
        extra += (b'<xsl:template match="/" priority="99"><e xsl:use-attribute-sets="fz-s"/>'
                  b'</xsl:template>')
    if b'fz-a' in extra:
        extra += b'<xsl:template match="/" priority="99"><xsl:value-of select="$fz-a"/></xsl:template>'
    return data[:a] + extra + data[a:]


def mutate_entities(rng, data):
    decl = rng.choice(ENTITY_TRICKS).encode()
    data = re.sub(rb'<!DOCTYPE[^\[>]*(\[.*?\])?\s*>', b'', data, count=1, flags=re.S)
    m = re.search(rb'<([A-Za-z_][\w.:-]*)', data)
    while m and data[m.start() + 1:m.start() + 2] in (b'?', b'!'):
        m = re.compile(rb'<([A-Za-z_][\w.:-]*)').search(data, m.end())
    if not m:
        return mutate_bytes(rng, data)
    decl = decl.replace(b'DOCTYPE r', b'DOCTYPE ' + m.group(1))
    data = data[:m.start()] + decl + data[m.start():]
    span = root_span(data)
    if span:
        ref = rng.choice(ENTITY_REFS).encode()
        a = span[0]
        data = data[:a] + ref + data[a:]
    return data


MUTATORS = [
    (mutate_bytes, 3), (mutate_structure, 3), (mutate_nesting, 1), (mutate_numbers, 2),
    (mutate_xpath, 4), (mutate_recursion, 1), (mutate_entities, 2),
]


def mutate(rng, data, stylesheet):
    fns = [f for f, w in MUTATORS for _ in range(w)]
    for _ in range(rng.choice([1, 1, 1, 2, 3])):
        fn = rng.choice(fns)
        if fn in (mutate_nesting,):
            data = fn(rng, data, stylesheet)
        elif fn in (mutate_xpath, mutate_recursion) and not stylesheet:
            data = rng.choice([mutate_structure, mutate_entities, mutate_numbers])(rng, data)
        else:
            data = fn(rng, data)
    return data


def seeds():
    out = []
    tsv = os.path.join(CORPUS, 'cases.tsv')
    if os.path.exists(tsv):
        for line in open(tsv, encoding='utf-8'):
            parts = line.rstrip('\n').split('\t')
            if len(parts) < 5:
                continue
            folder = os.path.join(CORPUS, parts[1])
            out.append((folder, parts[2], parts[3]))
    data = os.path.join(ROOT, 'tests', 'data')
    xsls = []
    xmls = []
    for d, _, files in os.walk(data):
        for f in files:
            if f.endswith('.xsl'):
                xsls.append(os.path.join(d, f))
            elif f.endswith('.xml'):
                xmls.append(os.path.join(d, f))
    for x in xsls:
        for y in xmls[:5]:
            out.append((os.path.dirname(x), os.path.basename(x), os.path.relpath(y, os.path.dirname(x))))
    for y in xmls:
        out.append((os.path.dirname(y), None, os.path.basename(y)))
    return out


# The stylesheet run over sources that come without one: it visits every node
# and evaluates a few functions on each.
WALKER = b'''<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<xsl:key name="k" match="*" use="name()"/>
<xsl:template match="@*|node()"><xsl:copy><xsl:apply-templates select="@*|node()"/></xsl:copy>
<xsl:value-of select="concat(count(key('k', name())), number(.), string-length(.), generate-id())"/>
<xsl:number level="multiple" count="*"/></xsl:template>
</xsl:stylesheet>
'''


SANITIZER = re.compile(r'(AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|runtime error:)')


def run_case(prog, index, folder, xsl_name, xsl, xml_name, xml, timeout, keep):
    work = tempfile.mkdtemp(prefix='fz%d-' % index, dir=keep)
    try:
        # Siblings of the stylesheet (included files, documents) stay reachable
        # through a link to the original folder.
        os.symlink(folder, os.path.join(work, 'orig'))
        xsl_path = os.path.join(work, 'case.xsl')
        xml_path = os.path.join(work, 'case.xml')
        if xsl is not None:
            open(xsl_path, 'wb').write(xsl)
        open(xml_path, 'wb').write(xml)
        cmd = [prog, '-xml', xml_path, '-out', os.path.join(work, 'out')]
        if xsl is not None:
            cmd += ['-xsl', xsl_path]
        cmd += ['-param', "test='passed_value'"]
        env = dict(os.environ)
        # The program hands its trees to the end of the process on purpose
        # (no teardown of large documents), so leak reports are off.
        env['ASAN_OPTIONS'] = 'exitcode=86:detect_leaks=0:allocator_may_return_null=1:' \
                              'detect_stack_use_after_return=0'
        env['UBSAN_OPTIONS'] = 'halt_on_error=1:exitcode=87:print_stacktrace=1'
        start = time.time()
        try:
            r = subprocess.run(cmd, cwd=folder, env=env, capture_output=True, timeout=timeout)
            status, err = r.returncode, r.stderr.decode('utf-8', 'replace')
        except subprocess.TimeoutExpired:
            status, err = 'timeout', ''
        took = time.time() - start
        bad = status == 'timeout' or status < 0 or status > 2 or SANITIZER.search(err)
        if bad:
            open(os.path.join(work, 'stderr'), 'w').write(err)
            open(os.path.join(work, 'info'), 'w').write(
                'status %s\nfolder %s\nxsl %s\nxml %s\ntook %.1f\n' % (status, folder, xsl_name, xml_name, took))
            try:
                os.remove(os.path.join(work, 'out'))
            except OSError:
                pass
            return index, status, err, work, took
        shutil.rmtree(work, ignore_errors=True)
        return index, status, None, None, took
    except Exception as e:  # keep fuzzing past a broken case
        shutil.rmtree(work, ignore_errors=True)
        return index, 'error', str(e), None, 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('program')
    ap.add_argument('--count', type=int, default=2000)
    ap.add_argument('--seed', type=int, default=27)
    ap.add_argument('--timeout', type=float, default=10)
    ap.add_argument('--jobs', type=int, default=3)
    ap.add_argument('--out', default='fuzz-findings')
    args = ap.parse_args()
    prog = os.path.abspath(args.program)
    os.makedirs(args.out, exist_ok=True)
    keep = os.path.abspath(args.out)
    rng = random.Random(args.seed)
    pool = seeds()
    cases = []
    for i in range(args.count):
        folder, xsl_name, xml_name = rng.choice(pool)
        try:
            xsl = open(os.path.join(folder, xsl_name), 'rb').read() if xsl_name else WALKER
            xml = open(os.path.join(folder, xml_name), 'rb').read()
        except OSError:
            continue
        which = rng.random()
        if xsl_name and which < 0.65:
            xsl = mutate(rng, xsl, True)
        elif not xsl_name or which < 0.9:
            xml = mutate(rng, xml, False)
        else:
            xsl = mutate(rng, xsl, True)
            xml = mutate(rng, xml, False)
        cases.append((i, folder, xsl_name, xsl, xml_name, xml))
    start = time.time()
    findings = 0
    statuses = {}
    with cf.ThreadPoolExecutor(args.jobs) as ex:
        futs = [ex.submit(run_case, prog, i, f, xn, x, yn, y, args.timeout, keep)
                for i, f, xn, x, yn, y in cases]
        for fut in cf.as_completed(futs):
            index, status, err, work, took = fut.result()
            statuses[status] = statuses.get(status, 0) + 1
            if work:
                findings += 1
                first = ''
                for line in (err or '').splitlines():
                    if SANITIZER.search(line) or 'SUMMARY' in line:
                        first = line.strip()
                        break
                print('FINDING case %d status %s (%.1fs) %s: %s' % (index, status, took, work, first[:200]),
                      flush=True)
    print('%d cases in %.0f s, %d findings; statuses %s' %
          (len(cases), time.time() - start, findings, sorted(statuses.items(), key=str)))
    return 1 if findings else 0


if __name__ == '__main__':
    sys.exit(main())
