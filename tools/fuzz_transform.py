#!/usr/bin/env python3
"""Mutation fuzzer for the ostxslt program.

usage: fuzz_transform.py PROGRAM [--count N] [--seed S] [--jobs J] [--timeout T] [--out DIR]
                                 [--case K] [--probe XMLPROBE]

Seeds are the stylesheets and sources of the conformance corpus (../shared/conformance) and of
tests/data (sources that come without a stylesheet run under a walker stylesheet that visits every
node). Each case mutates the stylesheet, the source or both, one to three times:
- bytes: bits flipped, a byte set, the tail cut off, runs deleted, duplicated or moved, markup
  fragments, odd bytes (NUL, bad UTF-8, surrogates) and deep nesting inserted;
- markup: elements and attributes duplicated or deleted;
- nesting: 100..100000 levels of source elements, xsl:if, parentheses, unary minus, predicates;
- numbers: turned huge, tiny, NaN, -0 or neighbours of 2^31, 2^32, 2^64;
- XPath: fragments spliced into any attribute value (the stylesheet stays well formed, so the run
  reaches the compiler and the transformation), or odd expressions and patterns put in place of
  select/test/match/use/count/from/value/name;
- recursion: recursive templates and apply-templates, cyclic variables, self-using attribute sets;
- entities: billion laughs, recursive entities, entities with markup, external and parameter
  entities, NDATA, bad character references;
- instructions: odd but well-formed instructions put into template bodies (numbering, sorting,
  element and attribute names, output escaping, messages, result tree fragments), and top-level
  declarations (xsl:output with odd methods and encodings, strip/preserve-space, decimal formats,
  keys, missing includes);
- white space: spaces, line ends and CDATA between tags, xml:space on elements;
- size: the root's content repeated up to 300 KB, with multi-byte characters and
  character references put into its text first.
The mutated files are written beside the seed's own, in a private copy of the seed folders, so
that relative references (includes, document()) still resolve.

A case is a finding when the program ends by a signal or with a status above 2, prints a sanitizer
report, or runs past the time limit (default 30 s: a sanitizer build on a busy machine can take
10 s and more on a grown source). Each finding is kept under DIR (default ./fuzz-findings) as
case.xsl, case.xml, stderr and info. Case K of a seed is always the same mutation: `--case K`
runs that one case alone (to reproduce or to check a mend). With `--probe`, each case's source
also goes through the test tool xmlprobe (write, canon or an XPath expression), under the same rule.

Build the program with sanitizers first, e.g.
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \\
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \\
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer" \\
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
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
TEST_DATA = os.path.join(ROOT, 'tests', 'data')

FRAGMENTS = [
    b'<', b'>', b'&', b'&amp;', b'&#0;', b'&#x10FFFF;', b'&e;', b']]>', b'<![CDATA[', b'<!--', b'-->',
    b'<?pi x?>', b'<?', b'"', b"'", b'{', b'}', b'{{', b'$x', b'//', b'..', b'[', b']', b'(', b')', b'|',
    b'<xsl:apply-templates/>', b'<xsl:call-template name="t"/>', b'<xsl:value-of select="."/>',
    b'<xsl:for-each select="//*">', b'</xsl:for-each>', b'<xsl:variable name="x" select="1"/>',
    b'xmlns:p="urn:p"', b'p:', b'\x00', b'\xff\xfe', b'\xc3', b'\xe2\x82', b'\xed\xa0\x80',
    b'\xf4\x90\x80\x80', b'\r', b'\t', b' ', b'9999999999', b'-1', b'0 div 0', b'NaN',
    b'key("k", .)', b'document("")', b'format-number(1, "#")',
    b'<xsl:number level="any" count="*" format="i"/>', b'<xsl:sort select="."/>', b'id("x")',
]

XPATH_BITS = [
    '//', '..', '[1]', '[last()]', ' | ', ' and ', ' or ', '(', ')', 'count(', '$x', "key('k', .)",
    "'", '*', '@*', 'node()', '-', ' div ', ' mod ', '0', '99999999999', 'name()', '{', '}', '{.}',
    'position()', 'ancestor::*', 'following::node()', 'namespace::*', "document('')", 'sum(', '/',
    "format-number(., '#,##0.0')", "substring(., 2, 3)", 'current()', 'generate-id()', 'text()',
    "translate(., 'a', 'b')", 'id(.)', "concat(., ',')", 'string(', 'number(', 'not(', 'true()',
]

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

INSTRUCTIONS = [
    '<xsl:value-of select="." disable-output-escaping="yes"/>',
    '<xsl:text disable-output-escaping="yes">&lt;b&gt;&amp;&#x1F600;</xsl:text>',
    '<xsl:copy-of select="/"/>', '<xsl:copy-of select="//namespace::*"/>',
    '<xsl:for-each select="//node()"><xsl:sort select="." data-type="number" order="descending"/>'
    '<xsl:sort select="name()" case-order="upper-first" lang="de"/><xsl:value-of select="position()"/>'
    '</xsl:for-each>',
    '<xsl:for-each select="//@*"><xsl:sort select="." data-type="q:x" xmlns:q="urn:q"/><xsl:copy/></xsl:for-each>',
    '<xsl:number value="12345678901" format="A"/>', '<xsl:number value="-5" format="i"/>',
    '<xsl:number value="0 div 0" format="&#x661;"/>', '<xsl:number format="01.a.I. " level="multiple"/>',
    '<xsl:number value="123456789" grouping-size="0" grouping-separator=","/>',
    '<xsl:number level="any" count="node()" from="/" format="{name()}"/>',
    '<xsl:element name="{concat(\'a\', position())}" namespace="urn:x{.}">'
    '<xsl:attribute name="xmlns">x</xsl:attribute><xsl:attribute name="p:q" namespace="urn:q">v</xsl:attribute>'
    '</xsl:element>',
    '<xsl:element name="xml:lang"/>', '<xsl:element name="xmlns"/>', '<xsl:element name="1bad"/>',
    '<xsl:element name="p:e" namespace=""/>', '<xsl:attribute name="late">v</xsl:attribute>',
    '<xsl:comment>--<xsl:value-of select="."/>-</xsl:comment>',
    '<xsl:processing-instruction name="xml">x</xsl:processing-instruction>',
    '<xsl:processing-instruction name="p">?&gt;<xsl:value-of select="."/></xsl:processing-instruction>',
    '<xsl:message>m<xsl:copy-of select="."/></xsl:message>',
    '<xsl:message terminate="yes">stop</xsl:message>',
    '<xsl:variable name="rtf"><a><b/></a></xsl:variable><xsl:copy-of select="$rtf"/>'
    '<xsl:value-of select="count($rtf)"/>',
    '<xsl:apply-imports/>', '<xsl:apply-templates select="document(\'\')//*" mode="fzm"/>',
    '<xsl:value-of select="format-number(., \'#,##0.00;(#)\', \'fzdf\')"/>',
    '<xsl:text>&#xFFFF;</xsl:text>', '<xsl:value-of select="\'&#x10000;&#x1F600;&#xE9;&#x80;\'"/>',
    '<xsl:fz-unknown/>', '<xsl:fz-unknown><xsl:fallback><f/></xsl:fallback></xsl:fz-unknown>',
    '<xsl:key name="k2" match="*" use="."/>', '<xsl:call-template name="fz-none"/>',
    '<xsl:copy><xsl:copy-of select="@*"/><xsl:copy-of select="namespace::*"/></xsl:copy>',
    '<xsl:value-of select="generate-id(document(\'\')/*)"/>', '<xsl:value-of select="key(\'k\', //@*)"/>',
    '<xsl:value-of select="unparsed-entity-uri(name())"/>',
    '<xsl:if test="true()"><xsl:attribute name="{name()}"><xsl:apply-templates/></xsl:attribute></xsl:if>',
    '<xsl:choose><xsl:when test="@*"><xsl:text/></xsl:when></xsl:choose>',
    '<xsl:for-each select="/.."><xsl:sort/></xsl:for-each>', '<xsl:text>  \r\n  </xsl:text>',
    '<xsl:value-of select="string(document(\'/dev/null\'))"/>',
]

TOP_LEVEL = [
    '<xsl:strip-space elements="*"/>', '<xsl:preserve-space elements="a p:* *"/>',
    '<xsl:strip-space elements="*"/><xsl:preserve-space elements="*"/>',
    '<xsl:decimal-format name="fzdf" decimal-separator="," grouping-separator="." NaN="" infinity=""'
    ' minus-sign="~" percent="%" per-mille="&#x2030;" zero-digit="&#x661;" digit="d" pattern-separator="|"/>',
    '<xsl:decimal-format decimal-separator="." grouping-separator="."/>',
    '<xsl:namespace-alias stylesheet-prefix="#default" result-prefix="xsl"/>',
    '<xsl:key name="k" match="node()" use="."/>', '<xsl:param name="test" select="$test"/>',
    '<xsl:include href="fz-nonexistent.xsl"/>', '<xsl:import href="fz-nonexistent.xsl"/>',
    '<xsl:variable name="fzv" select="document(\'\')"/>', '<fz:top xmlns:fz="urn:fz"><x/></fz:top>',
    '<xsl:template match="*" mode="fzm"><xsl:copy><xsl:apply-templates mode="fzm"/></xsl:copy></xsl:template>',
    '<xsl:template match="text()" priority="-0.5"><xsl:value-of select="translate(., \' \', \'\')"/></xsl:template>',
]

OUTPUT_ATTRIBUTES = [
    ('method', ['xml', 'html', 'text', 'q:x', '', 'xhtml']),
    ('encoding', ['UTF-8', 'UTF-16', 'ISO-8859-1', 'US-ASCII', 'windows-1252', 'UTF-16BE', 'Shift_JIS',
                  'ISO-8859-15', 'bogus']),
    ('indent', ['yes', 'no', 'maybe']), ('omit-xml-declaration', ['yes', 'no']),
    ('standalone', ['yes', 'no']), ('doctype-public', ['-//X//"\'', '']),
    ('doctype-system', ['a b.dtd', 'x"y\'.dtd']), ('cdata-section-elements', ['a b xsl:foo *', 'p:x']),
    ('media-type', ['text/x;charset=1']), ('version', ['1.0', '4.0', '99']),
]

ELEMENT_RE = re.compile(rb'<([A-Za-z_][\w.:-]*)(\s[^<>]*?)?(/>|>(?:[^<]|<(?!/?\1[\s>/]))*?</\1\s*>)',
                        re.S)
ATTR_RE = re.compile(rb'\s([\w.:-]+)\s*=\s*("[^"]*"|\'[^\']*\')')
VALUE_RE = re.compile(rb'="([^"<&]*)"')
SELECT_RE = re.compile(rb'\b(select|test|match|use|count|from|value|name)\s*=\s*("[^"]*"|\'[^\']*\')')
NUMBER_RE = re.compile(rb'\d+(\.\d+)?')


def pick_span(rng, data, regex):
    spans = [m.span() for m in regex.finditer(data)]
    return rng.choice(spans) if spans else None


def mutate_bytes(rng, data):
    data = bytearray(data)
    if not data:
        return bytes(rng.choice(FRAGMENTS))
    n = len(data)
    i = rng.randrange(n)
    j = min(n, i + rng.randint(1, 64))
    kind = rng.randrange(9)
    if kind == 0:
        for _ in range(rng.randint(1, 8)):
            data[rng.randrange(n)] ^= 1 << rng.randrange(8)
    elif kind == 1:
        data[i] = rng.randrange(256)
    elif kind == 2:
        del data[i:]
    elif kind == 3:
        del data[i:j]
    elif kind == 4:
        j = min(n, i + rng.randint(1, 200))
        data[i:i] = data[i:j] * rng.randint(1, 30)
    elif kind == 5:
        chunk = data[i:j]
        del data[i:j]
        k = rng.randrange(len(data) + 1)
        data[k:k] = chunk
    elif kind in (6, 7):
        data[i:i] = rng.choice(FRAGMENTS)
    else:
        # An element opened many times at any place, inside markup or not.
        depth = rng.choice([100, 1000, 5000])
        data[i:i] = b'<d>' * depth + b'x' + b'</d>' * depth
    return bytes(data)


def mutate_structure(rng, data):
    kind = rng.randrange(4)
    span = pick_span(rng, data, ELEMENT_RE if kind < 2 else ATTR_RE)
    if not span:
        return mutate_bytes(rng, data)
    a, b = span
    if kind == 0:
        return data[:b] + data[a:b] * rng.randint(1, 50) + data[b:]
    if kind == 2:
        return data[:b] + data[a:b] + data[b:]
    return data[:a] + data[b:]


def root_span(data):
    """Byte offsets just after the root start tag and just before its end tag."""
    m = re.search(rb'<([A-Za-z_][\w.:-]*)[^<>]*?(?<!/)>', data)
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
        return data[:a] + b'<xsl:template match="/" priority="99">' + inner + b'</xsl:template>' + data[a:]
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
    for _ in range(rng.randint(1, 3)):
        span = pick_span(rng, data, NUMBER_RE)
        if not span:
            return mutate_bytes(rng, data)
        data = data[:span[0]] + rng.choice(HUGE).encode() + data[span[1]:]
    return data


def splice_xpath(rng, data):
    # One change inside an attribute value: the document stays well formed.
    values = [m.span(1) for m in VALUE_RE.finditer(data)]
    if not values:
        return mutate_bytes(rng, data)
    start, end = rng.choice(values)
    bit = rng.choice(XPATH_BITS).encode()
    if rng.random() < 0.3:
        return data[:start] + bit + data[end:]
    at = rng.randint(start, end)
    return data[:at] + bit + data[at:]


def replace_xpath(rng, data):
    span = pick_span(rng, data, SELECT_RE)
    if not span:
        return mutate_bytes(rng, data)
    m = SELECT_RE.match(data, span[0])
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
    a = span[0]
    extra = rng.choice(RECURSIVE_TEMPLATES).encode()
    if b'fz-rec"' in extra and b'priority' not in extra:
        extra += b'<xsl:template match="/" priority="99"><xsl:call-template name="fz-rec"/></xsl:template>'
    if b'fz-s' in extra:
        extra += b'<xsl:template match="/" priority="99"><e xsl:use-attribute-sets="fz-s"/></xsl:template>'
    if b'fz-a' in extra:
        extra += b'<xsl:template match="/" priority="99"><xsl:value-of select="$fz-a"/></xsl:template>'
    return data[:a] + extra + data[a:]


def mutate_entities(rng, data):
    decl = rng.choice(ENTITY_TRICKS).encode()
    data = re.sub(rb'<!DOCTYPE[^\[>]*(\[.*?\])?\s*>', b'', data, count=1, flags=re.S)
    m = re.search(rb'<([A-Za-z_][\w.:-]*)', data)
    if not m:
        return mutate_bytes(rng, data)
    decl = decl.replace(b'DOCTYPE r', b'DOCTYPE ' + m.group(1))
    data = data[:m.start()] + decl + data[m.start():]
    span = root_span(data)
    if span:
        data = data[:span[0]] + rng.choice(ENTITY_REFS).encode() + data[span[0]:]
    return data


def insert_instruction(rng, data):
    # An instruction at the start of a template body or inside an instruction's content.
    spans = [m.end() for m in re.finditer(rb'<xsl:(template|if|when|otherwise|for-each|element|copy)\b[^<>]*?(?<!/)>',
                                          data)]
    if not spans:
        return mutate_bytes(rng, data)
    at = rng.choice(spans)
    return data[:at] + rng.choice(INSTRUCTIONS).encode() + data[at:]


def insert_top_level(rng, data):
    span = root_span(data)
    if not span:
        return mutate_bytes(rng, data)
    if rng.random() < 0.6:
        data = re.sub(rb'<xsl:output\b[^<>]*/>', b'', data)
        chosen = rng.sample(OUTPUT_ATTRIBUTES, rng.randint(1, 4))
        attrs = ''.join(' %s="%s"' % (name, rng.choice(values).replace('"', '&quot;')) for name, values in chosen)
        extra = ('<xsl:output%s/>' % attrs).encode()
        span = root_span(data)
    else:
        extra = rng.choice(TOP_LEVEL).encode()
    return data[:span[0]] + extra + data[span[0]:]


def mutate_whitespace(rng, data):
    # White space between tags, and xml:space on an element: the stripping rules decide what stays.
    tags = [m.end() for m in re.finditer(rb'<[A-Za-z_][^<>]*?(?<!/)>', data)]
    if not tags:
        return mutate_bytes(rng, data)
    for _ in range(rng.randint(1, 5)):
        at = rng.choice(tags)
        if rng.random() < 0.3:
            space = rng.choice([b' xml:space="preserve"', b' xml:space="default"', b' xml:space="bad"'])
            data = data[:at - 1] + space + data[at - 1:]
        else:
            data = data[:at] + rng.choice([b' ', b'\n\t', b'\r\n', b' \xc2\xa0 ', b'&#x20;',
                                           b'<![CDATA[ ]]>']) + data[at:]
    return data


WIDE_TEXT = [b'\xf0\x9f\x98\x80', b'\xc3\xa9', b'\xe2\x82\xac', b'&#x1F600;', b'&#13;', b'&amp;', b'&lt;',
             b']]&gt;', b'\xe2\x80\xa8', b'\xc2\x85', b'\xef\xbf\xbd', b'"', b"'", b'\t']


def mutate_grow(rng, data):
    # The root's content repeated up to 300 KB, with multi-byte characters and references
    # sprinkled in first, so that the reader's, the tree's and the writer's buffers fill and split
    # in odd places.
    span = root_span(data)
    if not span:
        return mutate_bytes(rng, data)
    a, b = span
    body = bytearray(data[a:b])
    texts = [m.start() for m in re.finditer(rb'>[^<]', bytes(body))]
    for _ in range(rng.randint(0, 20)):
        if texts:
            at = rng.choice(texts) + 1
            body[at:at] = rng.choice(WIDE_TEXT) * rng.randint(1, 3000)
    times = max(1, rng.choice([70000, 300000]) // max(1, len(body)))
    return data[:a] + bytes(body) * times + data[b:]


# (mutator, weight, for stylesheets only). Stylesheet-only kinds fall back to the others on sources.
MUTATORS = [
    (mutate_bytes, 4, False), (mutate_structure, 3, False), (mutate_nesting, 1, False),
    (mutate_numbers, 2, False), (splice_xpath, 4, True), (replace_xpath, 4, True),
    (mutate_recursion, 1, True), (mutate_entities, 2, False), (insert_instruction, 4, True),
    (insert_top_level, 3, True), (mutate_whitespace, 2, False),
    (mutate_grow, 1, False),
]


def mutate(rng, data, stylesheet):
    kinds = [(f, only) for f, w, only in MUTATORS for _ in range(w) if stylesheet or not only]
    for _ in range(rng.choice([1, 1, 1, 2, 3])):
        fn = rng.choice(kinds)[0]
        data = fn(rng, data, stylesheet) if fn is mutate_nesting else fn(rng, data)
    return data


# The stylesheet run over sources that come without one: it visits every node and evaluates a few
# functions on each. Its key gives one node per value: a key by name would make the walk
# quadratic on the grown sources (one large node-set per node), a cost of the stylesheet.
WALKER = b'''<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<xsl:key name="k" match="*" use="generate-id()"/>
<xsl:template match="@*|node()"><xsl:copy><xsl:apply-templates select="@*|node()"/></xsl:copy>
<xsl:value-of select="concat(count(key('k', generate-id())), number(.), string-length(.), generate-id())"/>
<xsl:number level="multiple" count="*"/></xsl:template>
</xsl:stylesheet>
'''


def seeds(copy):
    """(folder, stylesheet or None, source) triples; folders are inside the private copy."""
    out = []
    tsv = os.path.join(CORPUS, 'cases.tsv')
    if os.path.exists(tsv):
        for line in open(tsv, encoding='utf-8'):
            parts = line.rstrip('\n').split('\t')
            if len(parts) >= 4:
                out.append((os.path.join(copy, 'corpus', parts[1]), parts[2], parts[3]))
    xsls, xmls = [], []
    for d, _, files in os.walk(os.path.join(copy, 'data')):
        for f in sorted(files):
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


def make_case(pool, seed, index):
    rng = random.Random(seed * 1000003 + index)
    folder, xsl_name, xml_name = rng.choice(pool)
    xsl = open(os.path.join(folder, xsl_name), 'rb').read() if xsl_name else WALKER
    xml = open(os.path.join(folder, xml_name), 'rb').read()
    which = rng.random()
    if xsl_name and which < 0.65:
        xsl = mutate(rng, xsl, True)
    elif not xsl_name or which < 0.9:
        xml = mutate(rng, xml, False)
    else:
        xsl = mutate(rng, xsl, True)
        xml = mutate(rng, xml, False)
    return folder, xsl_name, xsl, xml_name, xml


SANITIZER = re.compile(r'(AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|runtime error:)')
# Leak reports are off: the program hands its trees to the end of the process on purpose (no
# teardown of large documents). Past 2 GB of resident memory the sanitizer reports the run.
ENV = dict(os.environ,
           ASAN_OPTIONS='exitcode=86:detect_leaks=0:allocator_may_return_null=1:'
                        'detect_stack_use_after_return=0:hard_rss_limit_mb=2048',
           UBSAN_OPTIONS='halt_on_error=1:exitcode=87:print_stacktrace=1')


PROBE_XPATH = ['//node()', 'count(//@*)', 'string(/)', '//namespace::*', 'id(//@*)', 'sum(//text())',
               '//*[last()]/preceding::node()', 'lang("en")']


def probe_command(probe, index, xml_path):
    kind = index % 3
    if kind == 0:
        return [probe, 'write', xml_path]
    if kind == 1:
        return [probe, 'canon', xml_path]
    return [probe, 'xpath', xml_path, PROBE_XPATH[index % len(PROBE_XPATH)]]


def run_one(cmd, folder, timeout):
    try:
        r = subprocess.run(cmd, cwd=folder, env=ENV, capture_output=True, timeout=timeout)
        status, err = r.returncode, r.stderr.decode('utf-8', 'replace')
    except subprocess.TimeoutExpired:
        status, err = 'timeout', ''
    bad = status == 'timeout' or status < 0 or status > 2 or bool(SANITIZER.search(err))
    return status, err, bad


def run_case(prog, probe, pool, seed, index, timeout, keep):
    folder, xsl_name, xsl, xml_name, xml = make_case(pool, seed, index)
    xsl_path = os.path.join(folder, '.fz%d.xsl' % index)
    xml_path = os.path.join(folder, '.fz%d.xml' % index)
    out = os.path.join(folder, '.fz%d.out' % index)
    open(xsl_path, 'wb').write(xsl)
    open(xml_path, 'wb').write(xml)
    cmd = [prog, '-xml', xml_path, '-xsl', xsl_path, '-out', out, '-param', "test='passed_value'"]
    start = time.time()
    status, err, finding = run_one(cmd, folder, timeout)
    took = time.time() - start
    wrote = os.path.exists(out)
    if probe and not finding:
        pcmd = probe_command(probe, index, xml_path)
        pstatus, perr, finding = run_one(pcmd, folder, timeout)
        if finding:
            status, err = pstatus, ' '.join(pcmd[1:2] + pcmd[3:]) + '\n' + perr
    for p in (xsl_path, xml_path, out):
        try:
            os.remove(p)
        except OSError:
            pass
    work = None
    if finding:
        work = os.path.join(keep, 'seed%d-case%d' % (seed, index))
        os.makedirs(work, exist_ok=True)
        open(os.path.join(work, 'case.xsl'), 'wb').write(xsl)
        open(os.path.join(work, 'case.xml'), 'wb').write(xml)
        open(os.path.join(work, 'stderr'), 'w').write(err)
        open(os.path.join(work, 'info'), 'w').write(
            'status %s\nseed %d case %d\nfolder %s\nxsl %s\nxml %s\ntook %.1f\n'
            % (status, seed, index, folder, xsl_name or '(walker)', xml_name, took))
    return index, status, err, work, took, wrote


def main():
    ap = argparse.ArgumentParser(description='Mutation fuzzer for the ostxslt program.')
    ap.add_argument('program')
    ap.add_argument('--count', type=int, default=3000)
    ap.add_argument('--seed', type=int, default=27)
    ap.add_argument('--timeout', type=float, default=30)
    ap.add_argument('--jobs', type=int, default=3)
    ap.add_argument('--out', default='fuzz-findings')
    ap.add_argument('--case', type=int, help='run this one case of the seed alone')
    ap.add_argument('--probe', help='xmlprobe, run on each case\'s source as well')
    args = ap.parse_args()
    prog = os.path.abspath(args.program)
    probe = os.path.abspath(args.probe) if args.probe else None
    keep = os.path.abspath(args.out)
    indices = [args.case] if args.case is not None else range(args.count)
    start = time.time()
    findings, wrote = 0, 0
    statuses = {}
    with tempfile.TemporaryDirectory(prefix='ostfuzz-') as copy:
        # The runs write beside private copies of the seed folders, never into the shared ones.
        if os.path.isdir(CORPUS):
            shutil.copytree(CORPUS, os.path.join(copy, 'corpus'))
        shutil.copytree(TEST_DATA, os.path.join(copy, 'data'))
        pool = seeds(copy)
        with cf.ThreadPoolExecutor(args.jobs) as ex:
            futs = [ex.submit(run_case, prog, probe, pool, args.seed, i, args.timeout, keep) for i in indices]
            for fut in cf.as_completed(futs):
                index, status, err, work, took, out = fut.result()
                statuses[status] = statuses.get(status, 0) + 1
                wrote += out
                if work:
                    findings += 1
                    first = next((l.strip() for l in err.splitlines()
                                  if SANITIZER.search(l) or 'SUMMARY' in l), '')
                    print('FINDING case %d status %s (%.1f s) %s: %s' % (index, status, took, work, first[:200]),
                          flush=True)
    print('%d cases in %.0f s, %d findings, %d wrote output; statuses %s' %
          (len(indices), time.time() - start, findings, wrote,
           ', '.join('%s: %d' % kv for kv in sorted(statuses.items(), key=str))))
    return 1 if findings else 0


if __name__ == '__main__':
    sys.exit(main())
