#!/usr/bin/env python3
"""Differential check of whole transformations against xsltproc.

usage: xslt_differential.py OSTXSLT [--seed S] [--count N] [--ns-count M] [--show K] [--keep DIR]

Writes N random small stylesheets, each with a random source document, and M more (N/2 unless
given) whose sources declare namespaces, runs each through the program and through
`xsltproc --nonet`, and compares the results exactly but for the leading XML declaration (the two
programs may write different ones). Exit 1 on any disagreement.

The stylesheets draw on: template rules with match patterns and modes, apply-templates with
select and xsl:sort, for-each (with sort), if, choose, value-of, copy, copy-of, variables and
parameters (top-level and local, call-template with with-param), literal result elements with
attribute value templates, xsl:element and xsl:attribute, xsl:number (single, multiple and any
levels), key(), and xsl:strip-space and xsl:preserve-space over sources with whitespace-only text.

What the generator keeps out, and why:
  - The first N source documents have no namespaces: results stay free of namespace-declaration
    order, which XML leaves open. The M others declare prefixes (now and then a default
    namespace) on their elements, and their stylesheets have no xsl:copy or xsl:copy-of, so no
    namespace node of the source reaches the result; they read the namespace axis only through
    values that hold under any order of the namespace nodes of an element (positional
    predicates on the axis against the same positions in document order, counts of positional
    selections, nodes picked by name, xml first, for-each over the axis sorted by name).
  - No xml:space, and no name is both stripped and preserved by tests of one rank: there
    xsltproc departs from XSLT 1.0 (tests/e2e/ostxslt_whitespace_test.cpp checks what the
    recommendation requires).
  - Numbers are written only as counts, sums of small integers and xsl:number: the digits of
    other numbers are a formatting freedom (see tests/xpath/xpath_differential.py).
  - xsl:number with the root node as current node: the numbering of the root node alone gives 1
    here (the count set is the root), nothing in xsltproc.
  - Text is ASCII: xsltproc writes other characters in attribute values as character references,
    an equal serialisation that the normalisation does not undo.
  - Mixed-case words: the collation of xsl:sort on text is the processor's (ours puts "alpha"
    before "Beta", xsltproc the other way); sort keys that tie are broken by document position.
  - xsl:copy of an attribute after content, or xsl:attribute after content: XSLT 1.0 lets a
    processor ignore the attribute (we do) or stop (xsltproc does).
  - An element holding only an empty text node (from xsl:number with nothing to count) is
    written <e></e> by xsltproc and <e/> here: the comparison takes both as the same.
  - Nothing that XSLT 1.0 makes an error or leaves open (attributes after children, recursion
    without end, sort of equal keys across data types).
"""
import os, random, re, subprocess, sys, tempfile

NAMES = ['a', 'b', 'c', 'item']
ATTRS = ['x', 'y', 'id']
WORDS = ['alpha', 'beta', '12', 'a b', 'gamma', '7', 'zeta']
SPACES = [' ', '\n  ', '\t', '\n']
NS_PREFIXES = ['p', 'q', 'r', 's']
NS_URIS = ['urn:p', 'urn:q', 'urn:r']


def norm(b):
    b = re.sub(rb'^<\?xml[^>]*\?>\n?', b'', b, count=1)
    # An element whose only content is an empty text node: xsltproc writes a start and an end
    # tag, we write an empty-element tag; both are the same XML.
    return re.sub(rb'<([A-Za-z][\w.-]*)((?:\s+[\w:.-]+="[^"]*")*)\s*></\1>', rb'<\1\2/>', b)


def namespace_declarations(rng, depth):
    """Declarations for one source element: prefixes bound (and rebound below) to a few URIs,
    now and then a default namespace. Element and attribute names stay unprefixed."""
    decls = ''
    for prefix in rng.sample(NS_PREFIXES, rng.choice([0, 0, 1, 1, 2, 3])):
        decls += f' xmlns:{prefix}="{rng.choice(NS_URIS)}"'
    if depth > 0 and rng.random() < 0.08:
        decls += f' xmlns="{rng.choice(NS_URIS)}"'
    return decls


def make_source(rng, namespaces=False):
    out = []
    budget = [rng.randint(8, 25)]

    def element(depth):
        budget[0] -= 1
        name = rng.choice(NAMES)
        attrs = ''.join(f' {a}="{rng.randint(0, 9) if rng.random() < 0.8 else rng.choice(WORDS)}"'
                        for a in rng.sample(ATTRS, rng.randint(0, 3)))
        if namespaces:
            attrs = namespace_declarations(rng, depth) + attrs
        if depth > 4 or budget[0] <= 0 or rng.random() < 0.2:
            out.append(f'<{name}{attrs}/>')
            return
        out.append(f'<{name}{attrs}>')
        last_text = False
        for _ in range(rng.randint(1, 4)):
            if rng.random() < 0.3:
                out.append(rng.choice(SPACES))
            r = rng.random()
            if r < 0.55 and budget[0] > 0:
                element(depth + 1)
                last_text = False
            elif r < 0.85 and not last_text:
                out.append(rng.choice(WORDS))
                last_text = True
            elif r < 0.93:
                out.append(f'<!--{rng.choice(WORDS)}-->')
                last_text = False
            else:
                out.append(f'<?pi {rng.choice(WORDS)}?>')
                last_text = False
        out.append(f'</{name}>')

    element(0)
    return '<?xml version="1.0" encoding="UTF-8"?>\n' + ''.join(out) + '\n'


def q(text):
    return text.replace('&', '&amp;').replace('<', '&lt;').replace('"', '&quot;')


class Gen:
    def __init__(self, rng, namespaces=False):
        self.rng = rng
        # The source declares namespaces: no xsl:copy or xsl:copy-of (the copies would carry
        # the source's namespace nodes, in an order left open), and values over namespace
        # nodes take part (see namespace_string).
        self.namespaces = namespaces
        self.vars = 0
        self.scope = []  # local variable names visible here
        self.at_root = False  # xsl:number of the root node: see the note at the top

    def name(self):
        return self.rng.choice(NAMES)

    def pattern(self):
        rng = self.rng
        return rng.choice([self.name(), f'{self.name()}[@{rng.choice(ATTRS)}]', '*', 'text()',
                           f'{self.name()}/{self.name()}', f'{self.name()}[1]', f'*[@x = {rng.randint(0, 9)}]',
                           'comment()', 'processing-instruction()', f'{self.name()}//{self.name()}',
                           f'{self.name()} | text()', f'@{rng.choice(ATTRS)}', f'*[last()]'])

    def down(self):
        # Node-sets below the current node (apply-templates terminates).
        rng = self.rng
        return rng.choice(['*', 'node()', 'text()', self.name(), f'*[{rng.randint(1, 3)}]',
                           f'descendant::{self.name()}', f'{self.name()}[@x]', '@*', f'@{rng.choice(ATTRS)}',
                           f'*[@y &gt; {rng.randint(0, 9)}]', 'comment() | *'])

    def anywhere(self):
        rng = self.rng
        # '../self::*': the parent when it is an element, never the root (see the note on xsl:number).
        return rng.choice([self.down(), '../self::*', f'following-sibling::*', f'preceding-sibling::{self.name()}',
                           f'ancestor::*', f'//{self.name()}', f'/*', f'key(\'k\', @x)',
                           f'key(\'k\', {rng.randint(0, 9)})'])

    def string(self):
        rng = self.rng
        choices = ['.', 'name()', f'@{rng.choice(ATTRS)}', f'count({self.anywhere()})', 'position()',
                   'last()', f"concat(name(), '-', @x)", f"string({self.anywhere()})",
                   f"sum({self.down()}[number(.) = number(.)])", '$p', '$g',
                   f"translate(., 'abe', 'ABE')", f"substring(name(), 2)", f"count(key('k', @x))",
                   f"normalize-space(string({self.anywhere()}))"]
        if self.scope:
            choices.append('$' + rng.choice(self.scope))
        if self.namespaces:
            choices.append(self.namespace_string())
        return rng.choice(choices)

    def boolean(self):
        rng = self.rng
        return rng.choice([f'@{rng.choice(ATTRS)}', f'{self.anywhere()}', f'@x &gt; {rng.randint(0, 9)}',
                           f"name() = '{self.name()}'", 'position() mod 2 = 0', 'position() = last()',
                           f"contains(., '{rng.choice(['a', 'e', '1'])}')", f'not({self.down()})',
                           f"$p = 'passed'", f"count({self.anywhere()}) &gt; 1"]
                          + ([self.namespace_boolean()] if self.namespaces else []))

    # ---- namespace nodes ----
    # XPath 1.0 leaves the order of the namespace nodes of one element to the implementation,
    # and xsltproc orders them otherwise than we do. The namespace axis is a forward axis, so
    # whatever that order, the node at a position on the axis is the node at that position of
    # the node-set in document order; counts of positional selections and the nodes picked by
    # name agree as well, and both programs put xml first. Only such values reach the output.

    def namespace_position(self):
        return self.rng.choice(['1', '2', '2', '3', 'last()', 'last()', 'last() - 1', 'position() &gt; 1',
                                'position() mod 2 = 0', 'position() &lt; 3', 'position() = last() - 1'])

    def namespace_axis(self):
        rng = self.rng
        return rng.choice(['namespace::*', 'namespace::*', 'namespace::node()',
                           f"namespace::*[. = '{rng.choice(NS_URIS)}']", "namespace::*[name() != 'xml']",
                           f"namespace::*[not(. = /*/namespace::{rng.choice(NS_PREFIXES)})]"])

    def namespace_element(self):
        # One element (or none): positions on its axis are positions among its namespace nodes.
        # No following axis: the context may be an attribute or a namespace node, whose
        # following nodes include its element's descendants (XPath 1.0 §2.2) where xsltproc
        # finds none.
        rng = self.rng
        start = rng.choice(['.', '.', '..', '/*', f'(//*)[{rng.randint(1, 8)}]', 'ancestor::*[1]',
                            'following-sibling::*[1]', f'descendant::{self.name()}[1]', '*[last()]'])
        return f'(({start})/ancestor-or-self::*)[last()]'

    def namespace_elements(self):
        return self.rng.choice(['.', '*', '//*', 'ancestor-or-self::*', '../*', f'//{self.name()}',
                                self.namespace_element()])

    def namespace_pair(self):
        """The same positional selection on the axis and of the node-set in document order."""
        one, axis, k = self.namespace_element(), self.namespace_axis(), self.namespace_position()
        return f'{one}/{axis}[{k}]', f'({one}/{axis})[{k}]'

    def namespace_string(self):
        rng = self.rng
        r = rng.random()
        on_axis, in_order = self.namespace_pair()
        if r < 0.25:
            return f'count({on_axis} | {in_order})'
        if r < 0.4:
            return f'name({on_axis}) = name({in_order})'
        if r < 0.5:
            return f'string({on_axis}) = string({in_order})'
        if r < 0.7:
            return f'count(({self.namespace_elements()})/{self.namespace_axis()}[{self.namespace_position()}])'
        if r < 0.8:
            return f'name({self.namespace_element()}/namespace::*[1])'
        one = self.namespace_element()
        prefix = rng.choice(NS_PREFIXES + ['xml'])
        return f"concat(name({one}/namespace::{prefix}[1]), '=', {one}/namespace::{prefix}[last()])"

    def namespace_boolean(self):
        on_axis, in_order = self.namespace_pair()
        return self.rng.choice([on_axis, f'count({on_axis} | {in_order}) = 1',
                                f'name({on_axis}) = name({in_order})',
                                f'count({on_axis}) = count({in_order})'])

    def namespace_instruction(self, depth):
        rng = self.rng
        r = rng.random()
        if r < 0.6 or depth > 3:
            return f'<xsl:value-of select="{self.namespace_string()}"/><xsl:text>;</xsl:text>'
        if r < 0.75:
            return f'<xsl:if test="{self.namespace_boolean()}">{self.body(depth + 1, False)}</xsl:if>'
        # All the nodes of the axis (no position picks them), sorted by name and then by their
        # element's place in the document: the order of the output is fixed.
        select = f'({self.namespace_elements()})/{self.namespace_axis()}'
        each = ''.join(f'<xsl:value-of select="{v}"/><xsl:text>,</xsl:text>'
                       for v in rng.sample(['name()', '.', 'position()', 'last()', 'count(../namespace::*)',
                                            self.namespace_string()], rng.randint(1, 3)))
        return (f'<xsl:for-each select="{select}"><xsl:sort select="name()"/>'
                f'<xsl:sort select="count(../preceding::node() | ../ancestor::node())" data-type="number"/>'
                f'[{each}]</xsl:for-each>')

    def sort(self):
        rng = self.rng
        key = rng.choice(['@x', '.', 'name()', '@y', 'string-length(.)'])
        dtype = 'number' if key in ('@x', '@y', 'string-length(.)') and rng.random() < 0.7 else 'text'
        order = rng.choice(['ascending', 'descending'])
        # Ties keep document order in both; a second key on the position makes none.
        return (f'<xsl:sort select="{key}" data-type="{dtype}" order="{order}"/>'
                f'<xsl:sort select="count(preceding::node())" data-type="number"/>')

    def body(self, depth, element_context=True, allow_attr=False):
        rng = self.rng
        parts = []
        if allow_attr and rng.random() < 0.4:
            parts.append(f'<xsl:attribute name="{rng.choice(["k1", "k2"])}">'
                         f'<xsl:value-of select="{self.string()}"/></xsl:attribute>')
        # A variable is visible to its following siblings and their descendants (XSLT 1.0
        # §11.5): those declared in this body leave the scope with it.
        visible = len(self.scope)
        for _ in range(rng.randint(1, 3)):
            parts.append(self.instruction(depth, element_context))
        del self.scope[visible:]
        return ''.join(parts)

    def instruction(self, depth, element_context):
        rng = self.rng
        if self.namespaces and rng.random() < 0.25:
            return self.namespace_instruction(depth)
        r = rng.random()
        if depth > 3 or r < 0.2:
            return f'<xsl:value-of select="{self.string()}"/>'
        if r < 0.3:
            return f'<xsl:text>[{rng.choice(WORDS)}]</xsl:text>'
        if r < 0.42:
            mode = f' mode="m"' if rng.random() < 0.3 else ''
            sort = self.sort() if rng.random() < 0.4 else ''
            return f'<xsl:apply-templates select="{self.down()}"{mode}>{sort}</xsl:apply-templates>'
        if r < 0.5:
            sort = self.sort() if rng.random() < 0.5 else ''
            # The selection may hold attributes: no xsl:copy in the body (see the note at the top).
            return f'<xsl:for-each select="{self.anywhere()}">{sort}{self.body(depth + 1, False)}</xsl:for-each>'
        if r < 0.56:
            return f'<xsl:if test="{self.boolean()}">{self.body(depth + 1)}</xsl:if>'
        if r < 0.62:
            whens = ''.join(f'<xsl:when test="{self.boolean()}">{self.body(depth + 1)}</xsl:when>'
                            for _ in range(rng.randint(1, 2)))
            other = f'<xsl:otherwise>{self.body(depth + 1)}</xsl:otherwise>' if rng.random() < 0.6 else ''
            return f'<xsl:choose>{whens}{other}</xsl:choose>'
        if r < 0.68 and element_context and not self.namespaces:
            return f"<xsl:copy>{self.body(depth + 1, True, False)}</xsl:copy>"
        if r < 0.73 and self.namespaces:
            return self.namespace_instruction(depth)
        if r < 0.73:
            return f'<xsl:copy-of select="{rng.choice(["*", "text()", "node()", self.name(), "*[1]"])}"/>'
        if r < 0.79:
            self.vars += 1
            v = f'v{self.vars}'
            text = f'<xsl:variable name="{v}" select="{self.string()}"/>'
            self.scope.append(v)
            text += self.instruction(depth + 1, element_context)
            return text
        if r < 0.86:
            avt = rng.choice(['{name()}', '{@x}', 'n{position()}', '{count(*)}-{@y}', 'lit'])
            return self.lre(depth, avt)
        if r < 0.9:
            return (f'<xsl:element name="{{concat(\'el\', {rng.choice(["1", "string(count(*))", "name()"])})}}">'
                    f'{self.body(depth + 1, False, True)}</xsl:element>')
        if r < 0.95 and not self.at_root:
            level = rng.choice(['single', 'multiple', 'any'])
            count = rng.choice(['', f' count="{self.name()}"', ' count="*"', f' count="{self.name()}|{self.name()}"'])
            fmt = rng.choice(['1', 'a', 'i', '1.', 'A', '01', '1.a'])
            return f'<xsl:number level="{level}"{count} format="{fmt}"/>'
        return (f'<xsl:call-template name="named"><xsl:with-param name="w" select="{self.string()}"/>'
                f'</xsl:call-template>')

    def lre(self, depth, avt):
        n = self.rng.randint(1, 3)
        return f'<e{n} t="{avt}">{self.body(depth + 1, False, True)}</e{n}>'

    def space_declarations(self):
        # Names are stripped or preserved, never both by tests of one rank.
        rng = self.rng
        if rng.random() < 0.4:
            return ''
        names = rng.sample(NAMES, rng.randint(0, 3))
        cut = rng.randint(0, len(names))
        strip, preserve = names[:cut], names[cut:]
        if rng.random() < 0.5:
            (strip if rng.random() < 0.6 else preserve).append('*')
        out = ''
        if strip:
            out += f'<xsl:strip-space elements="{" ".join(strip)}"/>'
        if preserve:
            out += f'<xsl:preserve-space elements="{" ".join(preserve)}"/>'
        return out

    def stylesheet(self):
        rng = self.rng
        parts = ['<?xml version="1.0"?>\n<xsl:stylesheet version="1.0" '
                 'xmlns:xsl="http://www.w3.org/1999/XSL/Transform">']
        parts.append(self.space_declarations())
        parts.append(f'<xsl:key name="k" match="{self.name()}" use="@x"/>')
        parts.append("<xsl:param name=\"p\" select=\"'passed'\"/>")
        parts.append(f'<xsl:variable name="g" select="count(//{self.name()})"/>')
        self.at_root = True
        parts.append(f'<xsl:template match="/"><out>{self.body(0, False)}'
                     f'<xsl:apply-templates/></out></xsl:template>')
        self.at_root = False
        for _ in range(rng.randint(1, 4)):
            self.scope = []
            pattern = self.pattern()
            mode = ' mode="m"' if rng.random() < 0.25 else ''
            prio = f' priority="{rng.choice(["-1", "0", "2"])}"' if rng.random() < 0.2 else ''
            elementish = not pattern.startswith(('text', 'comment', 'processing', '@')) and '|' not in pattern
            parts.append(f'<xsl:template match="{pattern}"{mode}{prio}>'
                         f'{self.body(0, elementish)}</xsl:template>')
        self.scope = []
        parts.append('<xsl:template name="named"><xsl:param name="w" select="\'none\'"/>'
                     '<n><xsl:value-of select="$w"/></n></xsl:template>')
        parts.append('</xsl:stylesheet>\n')
        return ''.join(parts)


def main():
    args = sys.argv[1:]
    if not args or args[0].startswith('-'):
        print(__doc__)
        return 2
    prog = os.path.abspath(args.pop(0))
    seed, count, ns_count, show, keep = 27, 300, None, 5, None
    it = iter(args)
    for a in it:
        if a == '--seed': seed = int(next(it))
        elif a == '--count': count = int(next(it))
        elif a == '--ns-count': ns_count = int(next(it))
        elif a == '--show': show = int(next(it))
        elif a == '--keep': keep = next(it)
        else:
            print(__doc__)
            return 2
    if ns_count is None:
        ns_count = count // 2
    rng = random.Random(seed)
    # The cases over sources with namespaces draw from a generator of their own, so that
    # the others stay what they were for a seed.
    ns_rng = random.Random(seed * 1009 + 1)
    cases = [('t', i, rng, False) for i in range(count)] + [('n', i, ns_rng, True) for i in range(ns_count)]
    failures = []
    refused = 0
    with tempfile.TemporaryDirectory() as tmp:
        folder = keep or tmp
        os.makedirs(folder, exist_ok=True)
        for stem, i, case_rng, namespaces in cases:
            xml = os.path.join(folder, f'{stem}{i}.xml')
            xsl = os.path.join(folder, f'{stem}{i}.xsl')
            out = os.path.join(folder, f'{stem}{i}.out')
            with open(xml, 'w', encoding='utf-8') as f:
                f.write(make_source(case_rng, namespaces))
            with open(xsl, 'w', encoding='utf-8') as f:
                f.write(Gen(case_rng, namespaces).stylesheet())
            ref = subprocess.run(['xsltproc', '--nonet', xsl, xml], capture_output=True, timeout=60)
            if os.path.exists(out):
                os.remove(out)
            ours = subprocess.run([prog, '-xml', xml, '-xsl', xsl, '-out', out], capture_output=True, timeout=60)
            if ours.returncode < 0 or ours.returncode > 2:
                failures.append((xsl, f'crash (exit {ours.returncode})', b'', b''))
                continue
            if ref.returncode != 0:
                # A stylesheet xsltproc refuses is no reference; ours must refuse it too.
                refused += 1
                if ours.returncode == 0:
                    failures.append((xsl, 'xsltproc refused it, we ran it', ref.stderr[-300:], b''))
                continue
            got = open(out, 'rb').read() if ours.returncode == 0 and os.path.exists(out) else None
            if got is None:
                failures.append((xsl, 'we refused it: ' + ours.stderr.decode('utf-8', 'replace')[-300:],
                                 norm(ref.stdout), b''))
            elif norm(got) != norm(ref.stdout):
                failures.append((xsl, 'differs', norm(ref.stdout), norm(got)))
        for xsl, why, want, got in failures[:show]:
            print(f'DIFFER {os.path.basename(xsl)}: {why}\n  xsltproc: {want[:400]!r}\n  ours:     {got[:400]!r}')
            if keep is None:
                print('  stylesheet: ' + open(xsl, encoding='utf-8').read())
                print('  source: ' + open(xsl[:-3] + 'xml', encoding='utf-8').read())
    print(f'{count} transformations and {ns_count} over sources with namespaces (seed {seed}, '
          f'{refused} refused by both); {len(failures)} disagree')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
