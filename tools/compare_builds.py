#!/usr/bin/env python3
"""Runs random stylesheets of variables, parameters and named templates through two builds of
ostxslt and reports every case where they differ.

usage: compare_builds.py BASE NEW [--seed S] [--count N] [--timeout T] [--keep DIR]

For a change meant to leave every observable result as it was (a faster run loop, fewer frames,
other binding storage): standard output, standard error (messages, error positions, the stack
dump, the nesting-depth report), the exit status and the output file must be the same byte for
byte. No answer of xsltproc is asked: the errors themselves are compared, which XSLT 1.0 leaves to
the processor.

The stylesheets mix local xsl:variable and xsl:param (with select, with content, empty) in
templates, xsl:if, xsl:choose and xsl:for-each bodies; call-template and apply-templates with
with-param (select and content forms, names the callee does not declare, a name given twice);
names that shadow a global or another local; node-sets, result tree fragments, strings, numbers
and booleans; key() and document() in selects; xsl:message, terminating or not; expressions that
fail only at run time; recursion bounded by a depth parameter, with and without -xslstack. A case
that runs past the timeout in both builds counts as agreeing.
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile

SOURCE = ('<root xmlns:p="urn:p"><a n="1">x<b>1</b><b>2</b></a><a n="2"><b>3</b><p:b>4</p:b></a>'
          '<\u00e9>z</\u00e9></root>\n')
OTHER = '<doc><b>9</b><b>1</b><x:b xmlns:x="urn:p">7</x:b></doc>\n'
NAMES = ['a', 'b', 'c', 'p', 'q', 'n']


def esc(text):
    return text.replace('&', '&amp;').replace('<', '&lt;').replace('"', '&quot;')


class Generator:
    def __init__(self, seed):
        self.r = random.Random(seed)
        self.budget = 0
        self.deep = False

    def expr(self, scope, depth=0):
        r = self.r
        k = r.randint(0, 16)
        if scope and k < 6:
            v = r.choice(scope)
            if r.random() < 0.7:
                return r.choice(['$%s', 'string($%s)', 'boolean($%s)', 'concat($%s, "")', 'number($%s)']) % v
            return r.choice(['count($%s)', '$%s[1]', 'sum($%s)', '$%s/@n', '$%s//b', '//a[@n = $%s]',
                             'name($%s)']) % v
        if k == 6:
            return str(r.randint(0, 3))
        if k == 7:
            return r.choice(['//b', '/root/a', '//a[2]/b', '//p:b', 'document("")//xsl:variable',
                             'document("other.xml")//b', '.', '..', '@n', 'b', '*', 'p:*', '//\u00e9'])
        if k == 8:
            return r.choice(['position()', 'last()', 'current()', 'name()'])
        if k == 9 and depth < 2:
            return 'concat(%s, %s)' % (self.expr(scope, depth + 1), self.expr(scope, depth + 1))
        if k == 10:
            return 'key("k", %s)' % r.choice(['"1"', '"2"', '@n', '//a/@n'])
        if k == 11 and depth < 2:
            return '(%s)[%s]' % (r.choice(['//b', '//a', '//*']), self.expr(scope, depth + 1))
        if k == 12 and r.random() < 0.15:
            # Errors that only the run finds.
            return r.choice(['$%s/x' % r.choice(scope) if scope else '1 div 0', 'key("none", 1)',
                             'sum(//a) + "x"', 'document("/nonexistent/none.xml")'])
        if k == 13:
            return '%s | %s' % (r.choice(['//b', '//a', '/', '//p:b']), r.choice(['//b', '//a[1]', 'document("other.xml")/*']))
        return '"s"'

    def declaration(self, scope, kind):
        r = self.r
        name = r.choice(NAMES) + str(r.randint(0, 2))
        roll = r.random()
        if roll < 0.2:
            content = '<t><xsl:copy-of select="%s"/></t><xsl:value-of select="%s"/>' % (
                esc(self.expr(scope)), esc(self.expr(scope)))
            return name, '<xsl:%s name="%s">%s</xsl:%s>' % (kind, name, content, kind)
        if roll < 0.25:
            return name, '<xsl:%s name="%s"/>' % (kind, name)
        return name, '<xsl:%s name="%s" select="%s"/>' % (kind, name, esc(self.expr(scope)))

    def body(self, scope, depth):
        r = self.r
        out = []
        scope = list(scope)
        for _ in range(r.randint(0, 5)):
            k = r.randint(0, 12)
            if k <= 3:
                name, text = self.declaration(scope, 'variable')
                out.append(text)
                scope.append(name)
            elif k == 4 and depth < 3:
                test = r.choice(['1', '0', 'position() = 1', 'b', '@n = 2'] + ['$' + s for s in scope[-2:]])
                out.append('<xsl:if test="%s">%s</xsl:if>' % (esc(test), self.body(scope, depth + 1)))
            elif k == 5 and depth < 3:
                test = r.choice(['0', '1', 'b'] + ['$' + s for s in scope[-1:]])
                out.append('<xsl:choose><xsl:when test="%s">%s</xsl:when><xsl:when test="1">%s</xsl:when>'
                           '<xsl:otherwise>%s</xsl:otherwise></xsl:choose>' % (
                               esc(test), self.body(scope, depth + 1), self.body(scope, depth + 1),
                               self.body(scope, depth + 1)))
            elif k in (6, 7) and self.budget > 0:
                self.budget -= 1
                out.append(self.call(scope, 'call' if k == 6 else 'apply'))
            elif k == 8:
                out.append('<xsl:copy-of select="%s"/>' % esc(self.expr(scope)))
            elif k == 9 and depth < 3:
                over = r.choice(['//a', '//b', '*'] + ['$' + s for s in scope[-1:]])
                # A call in a loop would branch: deep recursion keeps its one call outside.
                kept = self.budget
                if self.deep:
                    self.budget = 0
                inner = self.body(scope, depth + 1)
                if self.deep:
                    self.budget = kept
                out.append('<xsl:for-each select="%s"><xsl:sort select="%s"/>%s</xsl:for-each>' % (
                    over, r.choice(['.', '@n', 'count(*)']), inner))
            elif k == 10:
                values = ''.join('<xsl:value-of select="$%s"/>' % s for s in scope[-3:])
                out.append('<e a="{%s}">%s</e>' % (esc(self.expr(scope)), values))
            elif k == 11 and r.random() < 0.08:
                out.append('<xsl:message terminate="%s"><xsl:value-of select="%s"/></xsl:message>' % (
                    r.choice(['yes', 'no']), esc(self.expr(scope))))
            else:
                out.append('<xsl:value-of select="%s"/>' % esc(self.expr(scope)))
        return ''.join(out)

    def call(self, scope, how):
        r = self.r
        passed = []
        used = set()
        for _ in range(r.randint(0, 4)):
            name = r.choice(['x', 'y', 'z', 'w'])
            if name in used and r.random() < 0.85:
                continue
            used.add(name)
            if r.random() < 0.2:
                passed.append('<xsl:with-param name="%s"><xsl:variable name="in" select="%s"/>'
                              '<xsl:copy-of select="$in"/></xsl:with-param>' % (name, esc(self.expr(scope))))
            else:
                passed.append('<xsl:with-param name="%s" select="%s"/>' % (name, esc(self.expr(scope))))
        passed.append('<xsl:with-param name="depth" select="$depth + 1"/>')
        r.shuffle(passed)
        if how == 'call':
            return '<xsl:call-template name="t%d">%s</xsl:call-template>' % (r.randint(0, 2), ''.join(passed))
        over = ['//b[1]', '/root', '(//a)[last()]'] if self.deep else ['//a', 'b', '*', '//b[1]', '/root']
        return '<xsl:apply-templates select="%s" mode="m%d">%s</xsl:apply-templates>' % (
            r.choice(over), r.randint(0, 1), ''.join(passed))

    def params(self, scope):
        r = self.r
        out = ['<xsl:param name="depth" select="0"/>']
        scope = list(scope)
        for name in r.sample(['x', 'y', 'z'], r.randint(0, 3)):
            roll = r.random()
            if roll < 0.2:
                out.append('<xsl:param name="%s"><d><xsl:value-of select="%s"/></d></xsl:param>' % (
                    name, esc(self.expr(scope))))
            elif roll < 0.7:
                out.append('<xsl:param name="%s" select="%s"/>' % (name, esc(self.expr(scope))))
            else:
                out.append('<xsl:param name="%s"/>' % name)
            scope.append(name)
        return ''.join(out), scope

    def stylesheet(self):
        r = self.r
        # Shallow recursion may branch; deep recursion (past -xslstack or the default limit) calls
        # once per template so that the run stays linear.
        limit = r.choice([2, 3, 3, 4, 60, 130, 1100])
        self.deep = limit > 4
        out = ['<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform" '
               'xmlns:p="urn:p"><xsl:key name="k" match="a" use="@n"/>']
        globals_ = []
        for _ in range(r.randint(0, 2)):
            name = r.choice(NAMES) + str(r.randint(0, 2))
            globals_.append(name)
            out.append('<xsl:%s name="%s" select="%s"/>' % (r.choice(['variable', 'param']), name,
                                                           esc(self.expr([]))))
        self.budget = 2
        out.append('<xsl:template match="/"><xsl:variable name="depth" select="0"/>%s%s</xsl:template>' % (
            self.body(globals_ + ['depth'], 0), self.call([], 'call')))
        for i in range(5):
            self.budget = 1 if limit > 4 else 2
            params, scope = self.params(globals_)
            head = 'name="t%d"' % i if i < 3 else 'match="*" mode="m%d"' % (i - 3)
            out.append('<xsl:template %s>%s<xsl:if test="$depth &lt; %d">%s</xsl:if></xsl:template>' % (
                head, params, limit, self.body(scope, 0)))
        out.append('</xsl:stylesheet>\n')
        options = r.choice([[], [], [], ['-xslstack', str(r.randint(100, 140))], ['-xslstack', '1001']])
        return ''.join(out), options


def run(program, folder, options, timeout):
    for name in ('out.xml',):
        path = os.path.join(folder, name)
        if os.path.exists(path):
            os.remove(path)
    try:
        done = subprocess.run([program, '-xsl', 'case.xsl', '-xml', 'source.xml', '-out', 'out.xml'] + options,
                              cwd=folder, capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None
    path = os.path.join(folder, 'out.xml')
    output = open(path, 'rb').read() if os.path.exists(path) else None
    return done.returncode, done.stdout, done.stderr, output


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('base')
    parser.add_argument('new')
    parser.add_argument('--seed', type=int, default=1)
    parser.add_argument('--count', type=int, default=200)
    parser.add_argument('--timeout', type=float, default=30)
    parser.add_argument('--keep', help='folder to copy each differing case into')
    args = parser.parse_args()
    base = os.path.abspath(args.base)
    new = os.path.abspath(args.new)
    differing = 0
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, 'source.xml'), 'w', encoding='utf-8') as f:
            f.write(SOURCE)
        with open(os.path.join(folder, 'other.xml'), 'w', encoding='utf-8') as f:
            f.write(OTHER)
        for case in range(args.seed, args.seed + args.count):
            text, options = Generator(case).stylesheet()
            with open(os.path.join(folder, 'case.xsl'), 'w', encoding='utf-8') as f:
                f.write(text)
            ours = run(base, folder, options, args.timeout)
            theirs = run(new, folder, options, args.timeout)
            if ours is None or theirs is None or ours == theirs:
                continue
            differing += 1
            print('case %d (%s) differs' % (case, ' '.join(options) or 'no options'))
            for label, a, b in zip(('exit status', 'stdout', 'stderr', 'output'), ours, theirs):
                if a != b:
                    print('  %s: %r\n  %s  %r' % (label, a if label == 'exit status' else a[-400:] if a else a,
                                                  ' ' * len(label), b if label == 'exit status' else b[-400:] if b else b))
            if args.keep:
                os.makedirs(args.keep, exist_ok=True)
                shutil.copy(os.path.join(folder, 'case.xsl'), os.path.join(args.keep, 'case%d.xsl' % case))
    print('%d cases (seed %d), %d differ' % (args.count, args.seed, differing))
    return 1 if differing else 0


if __name__ == '__main__':
    sys.exit(main())
