#!/usr/bin/env python3
"""The DocBook XSL stylesheets run by the program on a generated book and a small article.

usage: docbook_stylesheets.py OSTXSLT DATA_DIR FORMAT [--keep DIR]

FORMAT is html, xhtml or fo (the folder of the stylesheet docbook.xsl). First the installed
stylesheets, unmodified, must run with status 0 on both documents. Then a copy of them in which
every function-available('exsl:...') and function-available('set:...') test reads false() (the
program has no extension functions, so both processors then take the same path) runs through the
program and through `xsltproc --nonet`, and the two results must be equal after normalising what
the processors may write differently:
  - white space between two tags becomes one space (where a serialiser may indent); text with
    other characters, the lines of a program listing, is compared as it stands;
  - ids made by generate-id() (ours d1n41, xsltproc's id1350 or idp1234) are renumbered in the
    order of their first appearance;
  - the attributes of each start tag are sorted;
  - %HH escapes in href and src are decoded (which characters of a URI attribute an html
    serialiser escapes is its own choice), and character references become characters;
  - the XML declaration goes, and with it what libxml2 adds when it writes a document with an
    XHTML document type (a Content-Type META, lang beside xml:lang, <p></p> for <p/>);
  - namespace declarations go: where a serialiser declares a prefix is its choice. Instead the
    xml results (xhtml, fo) of both must parse with the same namespace URI for every element
    and attribute name.
What the two print on standard error (the stylesheets' messages) must be the same, and no run
may print "(unnamed document)". Exit 77 (skipped) when xsltproc or the DocBook packages are
missing.
"""
import os, re, shutil, subprocess, sys, tempfile, urllib.parse
import xml.etree.ElementTree as ElementTree

STYLESHEETS = '/usr/share/xml/docbook/stylesheet/docbook-xsl'
DTD = '/usr/share/xml/docbook/schema/dtd/4.5/docbookx.dtd'
SKIP = 77
# The stylesheets of 1.79 spell every such test function-available('exsl:node-set'); other
# quotes and spaces are taken as well, and a test left unrewritten fails the run.
EXTENSION_TEST = re.compile(
    r"function-available\s*\(\s*(['\"]|&quot;|&apos;)\s*(?:exsl|set):[\w-]+\s*\1\s*\)")
LEFT_OVER_TEST = re.compile(r"function-available\s*\([^)]*\b(?:exsl|set):")
GENERATED_ID = re.compile(r'\b(?:d\d+n\d+|id[pm]?\d+)\b')
TAG = re.compile(r'<([A-Za-z][\w:.-]*)((?:\s+[\w:.-]+(?:\s*=\s*(?:"[^"]*"|\'[^\']*\'))?)*)\s*(/?)>')
ATTRIBUTE = re.compile(r'([\w:.-]+)(?:\s*=\s*("[^"]*"|\'[^\']*\'))?')
URI_ATTRIBUTES = ('href', 'src')
XML_LANG = '{http://www.w3.org/XML/1998/namespace}lang'
CHARACTER_REFERENCE = re.compile(r'&#([xX][0-9a-fA-F]+|[0-9]+);')


LAYER = """<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<xsl:import href="{href}"/>
<xsl:param name="paper.type" select="'A4'"/>
<xsl:param name="body.font.family" select="'DejaVu Serif'"/>
<xsl:param name="section.autolabel" select="1"/>
<xsl:param name="generate.toc">article toc,title,figure</xsl:param>
<xsl:param name="html.stylesheet" select="'site.css'"/>
</xsl:stylesheet>
"""


def character(m):
    code = int(m.group(1)[1:], 16) if m.group(1)[0] in 'xX' else int(m.group(1))
    return m.group(0) if chr(code) in '<>&"\'' or code < 0x20 else chr(code)


def normalise(text):
    ids = {}

    def renumber(m):
        return ids.setdefault(m.group(0), f'GEN{len(ids) + 1}')

    def sort_attributes(m):
        attributes = []
        for a in ATTRIBUTE.finditer(m.group(2)):
            name, value = a.group(1), a.group(2)
            if value is None:
                attributes.append(name)
                continue
            if name.startswith('xmlns:'):
                continue
            value = value[1:-1]
            if name in URI_ATTRIBUTES:
                value = urllib.parse.unquote(value)
            attributes.append(f'{name}="{value}"')
        # libxml2's XHTML mode gives an element with xml:lang a lang attribute as well.
        lang = next((a for a in attributes if a.startswith('xml:lang=')), None)
        if lang and not any(a.startswith('lang=') for a in attributes):
            attributes.append(lang[4:])
        attributes.sort()
        return '<' + ' '.join([m.group(1)] + attributes) + m.group(3) + '>'

    text = re.sub(r'^<\?xml[^>]*\?>\s*', '', text).rstrip()
    text = re.sub(r'>\s+<', '> <', text)
    text = CHARACTER_REFERENCE.sub(character, text)
    text = GENERATED_ID.sub(renumber, text)
    text = TAG.sub(sort_attributes, text)
    # libxml2 writes a document with an XHTML document type in its XHTML mode: a META for the
    # content type at the start of head, and end tags for empty elements. The xml output method
    # of XSLT 1.0 (§16.1) adds no element.
    text = re.sub(r'<meta content="[^"]*" http-equiv="Content-Type"/>', '', text)
    return re.sub(r'<([A-Za-z][\w:.-]*)([^<>]*)(?<!/)></\1>', r'<\1\2/>', text)


def expanded_names(text):
    """The names of the elements and attributes of an XML result with their namespace URIs, in
    document order: the comparison after normalise() leaves namespace declarations out."""
    try:
        root = ElementTree.fromstring(re.sub(r'^<\?xml[^>]*\?>', '', text).encode('utf-8'))
    except ElementTree.ParseError as e:
        return f'not namespace-well-formed: {e}'
    names = []
    for e in root.iter():
        attributes = set(e.attrib)
        if e.tag.endswith('}meta') and e.get('http-equiv') == 'Content-Type':
            continue                    # the META of libxml2's XHTML mode, see normalise()
        if XML_LANG in attributes:
            attributes.add('lang')
        names.append((e.tag, sorted(attributes)))
    return names


def read_output(path):
    """The text of a result, decoded as its XML declaration or html META says."""
    with open(path, 'rb') as f:
        data = f.read()
    m = re.search(rb'(?:encoding="|charset=)([\w.-]+)', data[:2048])
    return data.decode(m.group(1).decode() if m else 'utf-8', errors='replace')


def run(command, cwd):
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, errors='replace')


def first_difference(a, b):
    i = 0
    while i < min(len(a), len(b)) and a[i] == b[i]:
        i += 1
    start = max(0, i - 200)
    return f'ours:     ...{a[start:i + 200]}\nxsltproc: ...{b[start:i + 200]}'


def main():
    args = sys.argv[1:]
    keep = None
    if '--keep' in args:
        i = args.index('--keep')
        keep = args[i + 1]
        del args[i:i + 2]
    if len(args) != 3:
        sys.exit(__doc__)
    program, data, fmt = os.path.abspath(args[0]), os.path.abspath(args[1]), args[2]
    if not shutil.which('xsltproc') or not os.path.exists(f'{STYLESHEETS}/{fmt}/docbook.xsl') \
            or not os.path.exists(DTD):
        print('xsltproc, docbook-xsl or docbook-xml is missing: skipped')
        return SKIP

    work = keep or tempfile.mkdtemp(prefix='ost-docbook-')
    os.makedirs(work, exist_ok=True)
    try:
        subprocess.run([sys.executable, f'{data}/make_book.py', f'{work}/book.xml'], check=True)
        if os.path.getsize(f'{work}/book.xml') < 100_000:
            print('FAIL the generated book is smaller than 100 KB')
            return 1
        shutil.copy(f'{data}/article.xml', f'{work}/article.xml')
        copy = f'{work}/docbook-xsl'
        shutil.rmtree(copy, ignore_errors=True)
        shutil.copytree(STYLESHEETS, copy, symlinks=False)
        for top, _, files in os.walk(copy):
            for name in files:
                if name.endswith('.xsl'):
                    path = os.path.join(top, name)
                    with open(path, encoding='utf-8') as f:
                        text = f.read()
                    changed = EXTENSION_TEST.sub('false()', text)
                    if LEFT_OVER_TEST.search(changed):
                        print(f'FAIL an extension test in {path} was not rewritten')
                        return 1
                    if changed != text:
                        with open(path, 'w', encoding='utf-8') as f:
                            f.write(changed)

        # A customization layer, as users write them: it imports the stylesheet and overrides
        # parameters that the imported modules' own bindings and templates read.
        with open(f'{work}/layer-{fmt}.xsl', 'w', encoding='utf-8') as f:
            f.write(LAYER.format(href=f'{copy}/{fmt}/docbook.xsl'))
        shutil.copy(f'{work}/article.xml', f'{work}/layered.xml')

        failures = []
        for doc in ('article', 'book', 'layered'):
            out = f'{doc}-{fmt}'
            sheet = f'{work}/layer-{fmt}.xsl' if doc == 'layered' else f'{copy}/{fmt}/docbook.xsl'
            plain = run([program, '-xml', f'{doc}.xml', '-xsl', f'{STYLESHEETS}/{fmt}/docbook.xsl',
                         '-out', f'{out}-plain.out'], work)
            if plain.returncode != 0:
                failures.append(f'{doc}, unmodified {fmt}: status {plain.returncode}\n{plain.stderr}')
            ours = run([program, '-xml', f'{doc}.xml', '-xsl', sheet, '-out', f'{out}-ours.out'], work)
            if ours.returncode != 0:
                failures.append(f'{doc}, {fmt}: status {ours.returncode}\n{ours.stderr}')
                continue
            for result in (plain, ours):
                if '(unnamed document)' in result.stderr:
                    failures.append(f'{doc}, {fmt}: a message names (unnamed document)\n'
                                    f'{result.stderr}')
            theirs = run(['xsltproc', '--nonet', '-o', f'{out}-xsltproc.out', sheet, f'{doc}.xml'], work)
            if theirs.returncode != 0:
                failures.append(f'{doc}, {fmt}: xsltproc failed\n{theirs.stderr}')
                continue
            if not os.path.exists(f'{work}/{out}-ours.out'):
                failures.append(f'{doc}, {fmt}: no output file')
                continue
            a, b = read_output(f'{work}/{out}-ours.out'), read_output(f'{work}/{out}-xsltproc.out')
            names_a, names_b = (expanded_names(a), expanded_names(b)) if fmt != 'html' else ([], [])
            if names_a != names_b:
                failures.append(f'{doc}, {fmt}: the names of elements and attributes differ once '
                                f'their prefixes are resolved' + ''.join(
                                    f'\n{who}: {n}' for who, n in (('ours', names_a),
                                                                  ('xsltproc', names_b))
                                    if isinstance(n, str)))
            a, b = normalise(a), normalise(b)
            if a != b:
                failures.append(f'{doc}, {fmt}: the results differ\n{first_difference(a, b)}')
            # What xsl:message writes (fo says which pages it makes) must be the same, and no
            # other line may stand beside it.
            if ours.stderr.split('\n') != theirs.stderr.split('\n'):
                failures.append(f'{doc}, {fmt}: the messages differ\nours:\n{ours.stderr}\n'
                                f'xsltproc:\n{theirs.stderr}')
        for failure in failures:
            print('FAIL', failure)
        print(f'{fmt}: {"ok" if not failures else f"{len(failures)} failures"}')
        return 1 if failures else 0
    finally:
        if not keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
