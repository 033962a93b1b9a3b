#!/usr/bin/env python3
"""Writes a DocBook 4.5 book of some hundred kilobytes for the DocBook stylesheet runs.

usage: make_book.py OUT.xml [--chapters N]

The book is the same on every run (fixed seed). It has a preface, chapters of nested sections,
CALS tables with spanned and straddling cells, itemized, ordered and variable lists, examples
with program listings (markup characters, line breaks), cross references (xref, link), ulinks,
footnotes, index terms and an index, admonitions, procedures, the rarer blocks in turn (sidebar,
figure, simple and segmented lists, Q and A, screen, informal tables, anchors), a chapter of
sect1 to sect3, reference pages with command and function synopses, a glossary (written beside
the book in ISO-8859-1 and read as an external parsed entity), a bibliography, an appendix,
entities of the internal subset and the DTD's character entities. The DOCTYPE names the DTD by its local path, so that every
processor reads the same DTD and its default attributes without a catalog.
"""
import os, random, sys

DTD = '/usr/share/xml/docbook/schema/dtd/4.5/docbookx.dtd'
WORDS = ('stream parser grammar node axis template rule pattern key sort number format '
         'output method encoding entity document stylesheet variable parameter mode '
         'priority import include fallback message attribute element text comment').split()
# Character entities of the DTD: the set must expand them as both processors read the DTD.
CHAR_ENTITIES = ['&mdash;', '&ndash;', '&hellip;', '&copy;', '&eacute;', '&reg;', '&nbsp;',
                 '&lsquo;', '&rsquo;', '&times;', '&uuml;']


class Book:
    def __init__(self, chapters):
        self.rng = random.Random(1979)
        self.out = []
        self.chapters = chapters
        self.ids = []          # ids written so far, targets for later cross references
        self.terms = []        # glossary terms
        self.note_count = 0
        self.block_turn = 0

    def w(self, text):
        self.out.append(text)

    def words(self, low, high):
        rng = self.rng
        parts = []
        for i in range(rng.randint(low, high)):
            parts.append(rng.choice(WORDS))
            if rng.random() < 0.04:
                parts.append(rng.choice(CHAR_ENTITIES))
        return ' '.join(parts)

    def inline(self):
        """A run of text with inline markup, links and now and then a footnote."""
        rng = self.rng
        bits = [self.words(4, 10).capitalize()]
        for _ in range(rng.randint(1, 4)):
            r = rng.random()
            if r < 0.15:
                bits.append(f'<emphasis>{self.words(1, 3)}</emphasis>')
            elif r < 0.25:
                bits.append(f'<emphasis role="bold">{self.words(1, 2)}</emphasis>')
            elif r < 0.35:
                bits.append(f'<literal>{rng.choice(WORDS)}()</literal>')
            elif r < 0.42:
                bits.append(f'<filename>/usr/share/{rng.choice(WORDS)}.xml</filename>')
            elif r < 0.48:
                bits.append(f'<command>{rng.choice(WORDS)}</command>')
            elif r < 0.54:
                bits.append(f'<quote>{self.words(1, 3)}</quote>')
            elif r < 0.60:
                bits.append('&product; &version;')
            elif r < 0.66 and self.ids:
                bits.append(f'see <xref linkend="{rng.choice(self.ids)}"/>')
            elif r < 0.71 and self.ids:
                bits.append(f'<link linkend="{rng.choice(self.ids)}">{self.words(1, 3)}</link>')
            elif r < 0.77:
                n = rng.randint(1, 99)
                url = rng.choice([f'http://example.org/docs/page{n}.html',
                                  f'http://example.org/a path/{n}?q=x&amp;r=y',
                                  f'http://example.org/caf&#233;/{n}#part'])
                bits.append(f'<ulink url="{url}">{self.words(1, 2)}</ulink>')
            elif r < 0.81:
                self.note_count += 1
                bits.append(f'<footnote><para>{self.words(5, 12)}.</para></footnote>')
            elif r < 0.88:
                bits.append(f'<indexterm><primary>{rng.choice(WORDS)}</primary>'
                            f'<secondary>{rng.choice(WORDS)}</secondary></indexterm>')
            elif r < 0.92 and self.terms:
                bits.append(f'<glossterm linkend="{rng.choice(self.terms)}">'
                            f'{self.words(1, 1)}</glossterm>')
            else:
                bits.append(f'<replaceable>{rng.choice(WORDS)}</replaceable>')
            bits.append(self.words(2, 8))
        return ' '.join(bits) + '.'

    def para(self, indent):
        self.w(f'{indent}<para>{self.inline()}</para>\n')

    def itemized(self, indent):
        self.w(f'{indent}<itemizedlist>\n')
        for _ in range(self.rng.randint(2, 5)):
            self.w(f'{indent}  <listitem><para>{self.inline()}</para></listitem>\n')
        self.w(f'{indent}</itemizedlist>\n')

    def ordered(self, indent):
        numeration = self.rng.choice(['arabic', 'loweralpha', 'upperroman'])
        self.w(f'{indent}<orderedlist numeration="{numeration}">\n')
        for _ in range(self.rng.randint(2, 5)):
            self.w(f'{indent}  <listitem>\n{indent}    <para>{self.inline()}</para>\n')
            if self.rng.random() < 0.3:
                self.w(f'{indent}    <itemizedlist spacing="compact">\n')
                for _ in range(2):
                    self.w(f'{indent}      <listitem><para>{self.words(2, 5)}</para></listitem>\n')
                self.w(f'{indent}    </itemizedlist>\n')
            self.w(f'{indent}  </listitem>\n')
        self.w(f'{indent}</orderedlist>\n')

    def variable(self, indent):
        self.w(f'{indent}<variablelist>\n')
        for _ in range(self.rng.randint(2, 4)):
            self.w(f'{indent}  <varlistentry><term><option>--{self.rng.choice(WORDS)}</option>'
                   f'</term>\n{indent}    <listitem><para>{self.inline()}</para></listitem>'
                   f'</varlistentry>\n')
        self.w(f'{indent}</variablelist>\n')

    def example(self, indent, ident):
        rng = self.rng
        self.w(f'{indent}<example id="{ident}"><title>{self.words(2, 4).capitalize()}</title>\n')
        lines = []
        for _ in range(rng.randint(3, 8)):
            a, b = rng.choice(WORDS), rng.choice(WORDS)
            lines.append(rng.choice([
                f'if ({a} &lt; {b} &amp;&amp; {a} != 0)',
                f'  <![CDATA[<{a} value="{b}"/> & more]]>',
                f'    {a} = {b} &gt;&gt; 2;   // shift',
                f'print("{a}\\t{b}")',
                '',
            ]))
        self.ids.append(ident)
        self.w(f'<programlisting language="c">{chr(10).join(lines)}</programlisting>\n')
        self.w(f'{indent}</example>\n')

    def table(self, indent, ident):
        rng = self.rng
        cols = rng.randint(3, 5)
        self.w(f'{indent}<table id="{ident}" frame="all"><title>{self.words(2, 4).capitalize()}'
               f'</title>\n{indent}<tgroup cols="{cols}" align="left" colsep="1" rowsep="1">\n')
        for c in range(1, cols + 1):
            width = f' colwidth="{rng.randint(1, 3)}*"' if rng.random() < 0.6 else ''
            self.w(f'{indent}  <colspec colname="c{c}"{width}/>\n')
        self.w(f'{indent}  <spanspec spanname="wide" namest="c1" nameend="c2"/>\n')
        self.w(f'{indent}  <thead><row>')
        for c in range(cols):
            self.w(f'<entry>{rng.choice(WORDS).capitalize()}</entry>')
        self.w('</row></thead>\n')
        self.w(f'{indent}  <tbody>\n')
        pending_down = 0
        for r in range(rng.randint(3, 7)):
            self.w(f'{indent}    <row>')
            c = 1
            if pending_down:
                c = 2           # the first column is taken by the cell above
                pending_down -= 1
            while c <= cols:
                choice = rng.random()
                if c == 1 and choice < 0.15:
                    self.w(f'<entry spanname="wide">{self.words(1, 3)}</entry>')
                    c += 2
                    continue
                if c == 1 and choice < 0.25 and r < 2:
                    self.w(f'<entry morerows="1" valign="middle">{self.words(1, 2)}</entry>')
                    pending_down = 1
                elif c == cols - 1 and choice < 0.35:
                    self.w(f'<entry namest="c{c}" nameend="c{c + 1}" align="center">'
                           f'{self.words(1, 2)}</entry>')
                    c += 2
                    continue
                else:
                    self.w(f'<entry>{self.words(1, 4)}</entry>')
                c += 1
            self.w('</row>\n')
        self.w(f'{indent}  </tbody>\n{indent}</tgroup>\n{indent}</table>\n')
        self.ids.append(ident)

    def admonition(self, indent):
        kind = self.rng.choice(['note', 'warning', 'tip', 'important', 'caution'])
        self.w(f'{indent}<{kind}><para>{self.inline()}</para></{kind}>\n')

    def procedure(self, indent):
        self.w(f'{indent}<procedure><title>{self.words(2, 3).capitalize()}</title>\n')
        for _ in range(self.rng.randint(2, 4)):
            self.w(f'{indent}  <step><para>{self.inline()}</para></step>\n')
        self.w(f'{indent}</procedure>\n')

    def other_block(self, indent, ident):
        """One of the rarer blocks, in turn, so that each occurs."""
        kind = self.block_turn % 10
        self.block_turn += 1
        w, words, inline = self.w, self.words, self.inline
        if kind == 0:
            w(f'{indent}<sidebar><title>{words(1, 3)}</title><para>{inline()}</para></sidebar>\n')
        elif kind == 1:
            w(f'{indent}<blockquote><attribution>{words(1, 2)}</attribution>'
              f'<para>{inline()}</para></blockquote>\n')
        elif kind == 2:
            w(f'{indent}<figure id="{ident}"><title>{words(2, 3)}</title><mediaobject>'
              f'<imageobject><imagedata fileref="figures/{ident}.png" width="4in" format="PNG"/>'
              f'</imageobject><textobject><phrase>{words(2, 4)}</phrase></textobject>'
              f'</mediaobject></figure>\n')
            self.ids.append(ident)
        elif kind == 3:
            cols = self.rng.randint(2, 4)
            kind = self.rng.choice(['horiz', 'vert'])
            w(f'{indent}<simplelist type="{kind}" columns="{cols}">'
              + ''.join(f'<member>{words(1, 2)}</member>' for _ in range(self.rng.randint(4, 9)))
              + '</simplelist>\n')
        elif kind == 4:
            w(f'{indent}<segmentedlist><title>{words(1, 2)}</title><segtitle>Name</segtitle>'
              '<segtitle>Value</segtitle>'
              + ''.join(f'<seglistitem><seg>{words(1, 1)}</seg><seg>{words(1, 3)}</seg>'
                        '</seglistitem>' for _ in range(3))
              + '</segmentedlist>\n')
        elif kind == 5:
            w(f'{indent}<qandaset defaultlabel="number">\n')
            for q in range(self.rng.randint(2, 3)):
                w(f'{indent}  <qandaentry id="{ident}-q{q}"><question><para>{words(3, 8)}?</para>'
                  f'</question><answer><para>{inline()}</para></answer></qandaentry>\n')
            w(f'{indent}</qandaset>\n')
        elif kind == 6:
            w(f'{indent}<screen><prompt>$</prompt> <userinput>ostxslt -xml a.xml -xsl b.xsl'
              f'</userinput>\n{words(3, 6)} &lt;done&gt;\n</screen>\n')
            w(f'{indent}<para>Press <keycombo><keycap>Ctrl</keycap><keycap>C</keycap></keycombo>'
              f' or choose <menuchoice><guimenu>File</guimenu><guimenuitem>Quit</guimenuitem>'
              f'</menuchoice>; write to <email>team@example.org</email>; '
              f'H<subscript>2</subscript>O, x<superscript>2</superscript>, '
              f'<trademark class="registered">Ostrel</trademark>, <acronym>XSLT</acronym>, '
              f'<firstterm>{words(1, 1)}</firstterm>.</para>\n')
        elif kind == 7:
            w(f'{indent}<informaltable frame="topbot"><tgroup cols="3">'
              f'<colspec colname="a" colwidth="1in"/><colspec colname="b" colwidth="2*"/>'
              f'<colspec colname="c" colwidth="1*"/><tbody>'
              f'<row><entry>{words(1, 2)}<footnote><para>{words(3, 5)}.</para></footnote></entry>'
              f'<entry namest="b" nameend="c">{words(1, 3)}</entry></row>'
              f'<row><entry>{words(1, 2)}</entry><entry>{words(1, 2)}</entry>'
              f'<entry align="right">{self.rng.randint(1, 999)}</entry></row>'
              f'</tbody></tgroup></informaltable>\n')
        elif kind == 8:
            w(f'{indent}<informalexample><literallayout>{words(2, 4)}\n  {words(2, 4)}\n'
              f'</literallayout></informalexample>\n')
            w(f'{indent}<para><anchor id="{ident}" xreflabel="{words(1, 2)}"/>{inline()}</para>\n')
            self.ids.append(ident)
        else:
            w(f'{indent}<glosslist><glossentry><glossterm>{words(1, 1)}</glossterm><glossdef>'
              f'<para>{words(4, 8)}.</para></glossdef></glossentry></glosslist>\n')
            w(f'{indent}<orderedlist continuation="continues"><listitem><para>{words(2, 5)}'
              f'</para></listitem></orderedlist>\n')

    def body(self, indent, ident, count):
        rng = self.rng
        for k in range(count):
            r = rng.random()
            if r < 0.45:
                self.para(indent)
            elif r < 0.55:
                self.itemized(indent)
            elif r < 0.62:
                self.ordered(indent)
            elif r < 0.69:
                self.variable(indent)
            elif r < 0.78:
                self.example(indent, f'{ident}-ex{k}')
            elif r < 0.86:
                self.table(indent, f'{ident}-tab{k}')
            elif r < 0.90:
                self.admonition(indent)
            elif r < 0.93:
                self.procedure(indent)
            else:
                self.other_block(indent, f'{ident}-b{k}')

    def section(self, depth, ident, indent):
        title = self.words(2, 5).capitalize()
        self.w(f'{indent}<section id="{ident}"><title>{title}</title>\n')
        self.body(indent + '  ', ident, self.rng.randint(2, 5))
        if depth < 3:
            for s in range(self.rng.randint(0, 2)):
                self.section(depth + 1, f'{ident}-{s + 1}', indent + '  ')
        self.w(f'{indent}</section>\n')
        self.ids.append(ident)

    def reference(self):
        self.w('  <reference id="ref"><title>Commands</title>\n'
               '    <partintro><para>The commands, one page each, as cited in '
               '<citation>B1</citation>.</para></partintro>\n')
        for n, name in enumerate(['ostxslt', 'xmlprobe']):
            self.w(f'    <refentry id="ref-{name}"><refmeta><refentrytitle>{name}</refentrytitle>'
                   f'<manvolnum>1</manvolnum></refmeta>\n'
                   f'      <refnamediv><refname>{name}</refname><refpurpose>{self.words(3, 6)}'
                   f'</refpurpose></refnamediv>\n'
                   f'      <refsynopsisdiv><cmdsynopsis><command>{name}</command>'
                   f'<arg choice="plain">-xml <replaceable>source</replaceable></arg>'
                   f'<arg choice="opt">-out <replaceable>file</replaceable></arg>'
                   f'<group choice="req"><arg>-a</arg><arg>-b</arg></group>'
                   f'<arg rep="repeat">-param <replaceable>name=value</replaceable></arg>'
                   f'</cmdsynopsis>\n'
                   f'      <funcsynopsis><funcsynopsisinfo>#include &lt;ost.h&gt;</funcsynopsisinfo>'
                   f'<funcprototype><funcdef>int <function>run_{n}</function></funcdef>'
                   f'<paramdef>const char *<parameter>name</parameter></paramdef>'
                   f'<paramdef>int <parameter>flags</parameter></paramdef></funcprototype>'
                   f'</funcsynopsis></refsynopsisdiv>\n'
                   f'      <refsect1><title>Description</title><para>{self.inline()}</para>'
                   f'<refsect2><title>Options</title>\n')
            self.variable('        ')
            self.w(f'      </refsect2></refsect1>\n      <refsect1><title>See also</title><para>'
                   f'<citerefentry><refentrytitle>xsltproc</refentrytitle><manvolnum>1</manvolnum>'
                   f'</citerefentry></para></refsect1>\n    </refentry>\n')
            self.ids.append(f'ref-{name}')
        self.w('  </reference>\n')

    def glossary_terms(self):
        self.terms = [f'gl-{w}' for w in sorted(set(WORDS))[:8]]

    def glossary(self):
        """The glossary, kept apart: the book reads it as an external parsed entity."""
        out = ['<?xml version="1.0" encoding="ISO-8859-1"?>\n'
               '<glossary id="gloss"><title>Glossary &mdash; d\u00e9finitions</title>\n']
        for t in self.terms:
            out.append(f'  <glossentry id="{t}"><glossterm>{t[3:]}</glossterm>'
                       f'<glossdef><para>{self.words(5, 12)}.</para></glossdef></glossentry>\n')
        out.append('</glossary>\n')
        return ''.join(out)

    def write(self, glossary_file):
        self.glossary_terms()
        self.w('<?xml version="1.0" encoding="UTF-8"?>\n')
        self.w(f'<!DOCTYPE book PUBLIC "-//OASIS//DTD DocBook XML V4.5//EN" "{DTD}" [\n'
               '<!ENTITY product "Ostrel">\n<!ENTITY version "1.0">\n'
               '<!ENTITY legal "<para>Copyright &copy; 2026 The Ostrel authors &mdash; '
               'all rights reserved.</para>">\n'
               f'<!ENTITY glossary SYSTEM "{glossary_file}">\n]>\n')
        self.w('<book id="book" lang="en">\n  <bookinfo>\n'
               '    <title>The &product; Handbook</title>\n'
               '    <subtitle>Transforming documents &hellip; by example</subtitle>\n'
               '    <authorgroup>\n'
               '      <author><firstname>Ren&eacute;e</firstname><surname>Doe</surname></author>\n'
               '      <author><firstname>Jan</firstname><surname>M&uuml;ller</surname></author>\n'
               '    </authorgroup>\n'
               '    <copyright><year>2025</year><year>2026</year><holder>The authors</holder>'
               '</copyright>\n'
               '    <legalnotice>&legal;</legalnotice>\n'
               '    <abstract><para>A book written by a program.</para></abstract>\n'
               '  </bookinfo>\n')
        self.w('  <preface id="preface"><title>Preface</title>\n')
        self.body('    ', 'preface', 3)
        self.w('  </preface>\n')
        self.ids.append('preface')
        for c in range(1, self.chapters + 1):
            ident = f'ch{c}'
            self.w(f'  <chapter id="{ident}"><title>{self.words(2, 4).capitalize()}</title>\n')
            self.body('    ', ident, self.rng.randint(2, 4))
            for s in range(self.rng.randint(2, 4)):
                self.section(1, f'{ident}-s{s + 1}', '    ')
            self.w('  </chapter>\n')
            self.ids.append(ident)
        self.w('  <chapter id="chs"><title>Numbered sections</title>\n')
        for a in range(1, 3):
            self.w(f'    <sect1 id="chs-{a}"><title>{self.words(2, 3)}</title>\n')
            self.body('      ', f'chs-{a}', 2)
            for b in range(1, 3):
                self.w(f'      <sect2 id="chs-{a}-{b}"><title>{self.words(2, 3)}</title>\n')
                self.body('        ', f'chs-{a}-{b}', 2)
                self.w(f'        <sect3 id="chs-{a}-{b}-1"><title>{self.words(1, 3)}</title>\n')
                self.para('          ')
                self.w('        </sect3>\n      </sect2>\n')
            self.w('    </sect1>\n')
        self.w('  </chapter>\n')
        self.ids.append('chs')
        self.reference()
        self.w('  <appendix id="app"><title>Reference</title>\n')
        self.body('    ', 'app', 4)
        self.w('  </appendix>\n')
        self.w('  &glossary;\n')
        self.w('  <bibliography id="bib"><title>Further reading</title>\n')
        for b in range(3):
            self.w(f'    <biblioentry id="bib{b}"><abbrev>B{b}</abbrev>'
                   f'<title>{self.words(2, 4).capitalize()}</title>'
                   f'<author><firstname>A.</firstname><surname>{WORDS[b].capitalize()}</surname>'
                   f'</author><publisher><publishername>Example Press</publishername></publisher>'
                   f'<pubdate>{2000 + b}</pubdate><isbn>0-000-0000{b}-X</isbn></biblioentry>\n')
        self.w('  </bibliography>\n  <index id="idx"/>\n</book>\n')
        return ''.join(self.out)


def main():
    args = sys.argv[1:]
    chapters = 6
    if '--chapters' in args:
        i = args.index('--chapters')
        chapters = int(args[i + 1])
        del args[i:i + 2]
    if len(args) != 1:
        sys.exit(__doc__)
    stem, _ = os.path.splitext(args[0])
    glossary_file = stem + '-glossary.xml'
    book = Book(chapters)
    text = book.write(os.path.basename(glossary_file))
    with open(args[0], 'w', encoding='utf-8') as f:
        f.write(text)
    with open(glossary_file, 'w', encoding='iso-8859-1') as f:
        f.write(book.glossary())


if __name__ == '__main__':
    main()
