#!/usr/bin/env python3
"""Differential check of the XPath engine against xmllint.

usage: xpath_differential.py XMLPROBE [--seed S] [--docs D] [--exprs N] [--show K]

Writes D random documents (namespaces, a default namespace, attributes, comments, processing
instructions, text) and N random XPath 1.0 expressions per document (every axis, node tests,
predicates, unions, arithmetic, comparisons between node-sets, strings, numbers and booleans, the
core functions). Each expression is turned into one or more string-valued fields; the fields of
many expressions are joined into one concat() call, evaluated once by `xmlprobe xpath` and once by
`xmllint --xpath`, and compared field by field. A batch that one side refuses is rerun one
expression at a time, so a refusal names its expression. Exit 1 on any disagreement.

Freedoms XPath 1.0 leaves to an implementation, which the comparison therefore allows:
  - Number to string: the fields of numbers are compared as numbers (relative difference below
    1e-12); xmllint writes some values with fewer or more digits than we do.
  - The relative order of the attribute nodes of one element and of the namespace nodes of one
    element (XPath 1.0 section 5): expressions whose node-sets may hold attribute or namespace
    nodes compare only order-free fields (count, sum, membership counts), and take no positional
    predicates after an attribute or namespace step. Positional predicates after a namespace
    step come in fields of their own that hold under any order: the node at a position on the
    axis is the node at that position in document order, and xml is the first.
Where xmllint departs from XPath 1.0, the generator avoids the case:
  - The following axis of an attribute or namespace node: XPath 1.0 section 2.2 puts the
    element's descendants there (they follow the attribute in document order); xmllint returns
    nothing. No following step (nor '//' or '.', which keep the attribute) comes directly after
    an attribute or namespace step.
  - The preceding axis of a node after the document element (a trailing comment or processing
    instruction): xmllint leaves the document element out. Documents end with their element.
  - xmlns="" (which undeclares the default namespace) gives an element no namespace node for the
    default namespace (XPath 1.0 section 5.4); xmllint makes one. Documents never undeclare it.
  - lang() with a namespace node as context node: XPath 1.0 looks at the xml:lang of its
    element; xmllint answers false. lang() is applied to attribute or namespace nodes' parents.
  - number('-') is NaN (a lone minus is no Number); xmllint gives -0. Generated strings are
    converted with number(), or compared by <, <=, > or >=, with a digit appended.
Expressions use no prefixed names (neither program is given prefix bindings); namespaces are
reached through namespace-uri() and local-name().
"""
import os, random, subprocess, sys, tempfile

SEP = '#'
NAMES = ['a', 'b', 'c', 'item']
ATTRS = ['x', 'y', 'id']
URIS = ['urn:p', 'urn:q']
WORDS = ['alpha', 'beta', '12', '3.5', 'é x', 'a b', '-4', 'Beta']
PI_TARGETS = ['pi', 'go']


# ---- documents ----

def make_doc(rng):
    """A random document as text; every element has a name from NAMES."""
    out = []
    budget = [rng.randint(15, 40)]

    def element(depth, default_ns):
        budget[0] -= 1
        name = rng.choice(NAMES)
        decls = ''
        prefix = ''
        r = rng.random()
        if r < 0.12:
            uri = rng.choice(URIS)
            decls += f' xmlns:p="{uri}"'
            prefix = 'p:'
        elif r < 0.18 and depth > 0:
            default_ns = rng.choice(URIS)
            decls += f' xmlns="{default_ns}"'
        elif r < 0.24:
            decls += f' xmlns:q="{rng.choice(URIS)}"'
        attrs = ''
        for a in rng.sample(ATTRS, rng.randint(0, 3)):
            value = str(rng.randint(-3, 20)) if rng.random() < 0.7 else rng.choice(WORDS)
            attrs += f' {a}="{value}"'
        if rng.random() < 0.1 and 'xmlns:p' in decls:
            attrs += f' p:z="{rng.randint(0, 9)}"'
        if rng.random() < 0.08:
            attrs += f' xml:lang="{rng.choice(["en", "en-GB", "de", "EN-us"])}"'
        tag = prefix + name
        out.append(f'<{tag}{decls}{attrs}')
        if depth > 5 or budget[0] <= 0 or rng.random() < 0.25:
            out.append('/>')
            return
        out.append('>')
        for _ in range(rng.randint(1, 4)):
            r = rng.random()
            if r < 0.5 and budget[0] > 0:
                element(depth + 1, default_ns)
            elif r < 0.75:
                out.append(rng.choice(WORDS))
            elif r < 0.87:
                out.append(f'<!--{rng.choice(WORDS)}-->')
            else:
                out.append(f'<?{rng.choice(PI_TARGETS)} {rng.choice(WORDS)}?>')
        out.append(f'</{tag}>')

    out.append('<?xml version="1.0" encoding="UTF-8"?>\n')
    if rng.random() < 0.5:
        out.append(f'<!--{rng.choice(WORDS)}-->')
    element(0, '')
    return ''.join(out) + '\n'


# ---- expressions ----
# Each generator returns (text, unordered) where unordered is true when a node-set may hold
# attribute or namespace nodes whose relative order XPath 1.0 leaves open.

AXES = ['ancestor', 'ancestor-or-self', 'attribute', 'child', 'descendant', 'descendant-or-self',
        'following', 'following-sibling', 'namespace', 'parent', 'preceding',
        'preceding-sibling', 'self']


class Gen:
    def __init__(self, rng, ns_rng=None):
        self.rng = rng
        # Draws for the namespace-position fields, apart from `rng` so that the
        # other expressions stay as they were.
        self.ns_rng = ns_rng or random.Random(0)
        self.in_predicate = 0  # inside a predicate, paths are relative: cost stays near n^2

    def lit(self):
        w = self.rng.choice(WORDS + ['', 'a', 'x'])
        return f"'{w}'" if "'" not in w else f'"{w}"'

    def node_test(self, axis):
        r = self.rng.random()
        names = ATTRS if axis == 'attribute' else (['p', 'q', 'xml'] if axis == 'namespace' else NAMES)
        if r < 0.35:
            return self.rng.choice(names)
        if r < 0.6:
            return '*'
        if r < 0.75:
            return 'node()'
        if r < 0.85:
            return 'text()'
        if r < 0.92:
            return 'comment()'
        if r < 0.96:
            return 'processing-instruction()'
        return f"processing-instruction('{self.rng.choice(PI_TARGETS)}')"

    def predicate(self, depth, positional):
        r = self.rng.random()
        if positional and r < 0.25:
            return str(self.rng.randint(1, 4))
        if positional and r < 0.35:
            return self.rng.choice(['last()', 'last() - 1', 'position() = last()', 'position() > 1',
                                    'position() mod 2 = 0'])
        if r < 0.5:
            return self.rng.choice(['@x', '@y', '@id', 'text()', '*', 'comment()', '@*'])
        if r < 0.65:
            return f"local-name() = '{self.rng.choice(NAMES + ATTRS)}'"
        if r < 0.75:
            return f"namespace-uri() = '{self.rng.choice(URIS + [''])}'"
        self.in_predicate += 1
        try:
            return self.boolean(depth + 1)
        finally:
            self.in_predicate -= 1

    def step(self, depth, from_attribute=False):
        rng = self.rng
        r = rng.random()
        if r < 0.08:
            return '.', False
        if r < 0.14:
            return '..', False
        if r < 0.22:
            return '@' + rng.choice(ATTRS + ['*']), True
        axis = rng.choice(AXES) if rng.random() < 0.6 else 'child'
        if from_attribute and axis in ('following', 'descendant-or-self', 'self'):
            axis = 'parent'  # see the libxml2 note at the top
        text = f'{axis}::{self.node_test(axis)}'
        unordered = axis in ('attribute', 'namespace')
        if depth < 3:
            for _ in range(rng.choice([0, 0, 0, 1, 1, 2])):
                text += f'[{self.predicate(depth, not unordered)}]'
        return text, unordered

    def path(self, depth=0):
        rng = self.rng
        steps = []
        unordered = False
        n = rng.randint(1, 3)
        from_attribute = False
        for i in range(n):
            s, u = self.step(depth, from_attribute)
            if from_attribute and s == '.':
                s = '..'
            from_attribute = u or (from_attribute and s.startswith('self::'))
            # A step after an unordered one keeps that freedom unless it climbs back.
            unordered = u or (unordered and not s.startswith(('..', 'parent', 'ancestor::')))
            steps.append(s)
        r = rng.random()
        if self.in_predicate:
            lead = '' if r < 0.8 else './/'
        elif r < 0.45:
            lead = '/'
        elif r < 0.75:
            lead = '//'
        else:
            lead = '/*/'  # relative to the document element
        text = lead + '/'.join(steps) if rng.random() < 0.8 else lead + '/'.join(steps[:1]) + '//' + '/'.join(steps[1:] or ['node()'])
        text = text.replace('////', '//').rstrip('/') or '.'
        if text.startswith('//') and self.in_predicate:
            text = '.' + text
        return text, unordered

    def nodeset(self, depth=0):
        rng = self.rng
        r = rng.random()
        if depth < 2 and r < 0.15:
            a, ua = self.nodeset(depth + 1)
            b, ub = self.nodeset(depth + 1)
            return f'{a} | {b}', ua or ub
        if depth < 2 and r < 0.25:
            a, ua = self.nodeset(depth + 1)
            pred = self.predicate(depth + 1, not ua)
            return f'({a})[{pred}]', ua
        if r < 0.3:
            return ('.' if self.in_predicate else '/'), False
        return self.path(depth)

    def number(self, depth=0):
        rng = self.rng
        r = rng.random()
        if depth > 2 or r < 0.15:
            return rng.choice(['0', '1', '2', '3.5', '-1', '0.5', '10', '1 div 0', '-1 div 0', '0 div 0',
                               '7', '100'])
        if r < 0.3:
            return f'count({self.nodeset(depth + 1)[0]})'
        if r < 0.36:
            return f'sum({self.nodeset(depth + 1)[0]})'
        if r < 0.44:
            return f'string-length({self.string(depth + 1)})'
        if r < 0.52:
            if rng.random() < 0.5:
                return f'number({self.nodeset(depth + 1)[0]})'
            # A string that may be '-' alone gets a digit after it: see the note at the top.
            return f"number(concat({self.string(depth + 1)}, '1'))"
        if r < 0.62:
            f = rng.choice(['floor', 'ceiling', 'round'])
            return f'{f}({self.number(depth + 1)})'
        if r < 0.67:
            return f'-({self.number(depth + 1)})'
        op = rng.choice(['+', '-', '*', 'div', 'mod'])
        return f'({self.number(depth + 1)} {op} {self.number(depth + 1)})'

    def small_number_string(self, depth):
        # Numbers that enter strings are integers of a few digits, so that the number
        # formatting freedom cannot reach a string field.
        return self.rng.choice([f'string(count({self.nodeset(depth + 1)[0]}))',
                                f'string(string-length({self.string(depth + 1)}))'])

    def string(self, depth=0):
        rng = self.rng
        r = rng.random()
        if depth > 2 or r < 0.15:
            return self.lit()
        if r < 0.3:
            ns, unordered = self.nodeset(depth + 1)
            if unordered:
                return f'string(({ns})[false()])'
            return f'string({ns})'
        if r < 0.38:
            ns, unordered = self.nodeset(depth + 1)
            f = rng.choice(['name', 'local-name', 'namespace-uri'])
            if unordered:
                ns = f'({ns})[false()]'
            return f'{f}({ns})'
        if r < 0.46:
            return f'concat({self.string(depth + 1)}, {self.string(depth + 1)})'
        if r < 0.56:
            s = self.string(depth + 1)
            if rng.random() < 0.5:
                return f'substring({s}, {self.number(depth + 1)})'
            return f'substring({s}, {self.number(depth + 1)}, {self.number(depth + 1)})'
        if r < 0.64:
            f = rng.choice(['substring-before', 'substring-after'])
            return f'{f}({self.string(depth + 1)}, {self.string(depth + 1)})'
        if r < 0.7:
            return f"translate({self.string(depth + 1)}, {self.lit()}, {self.lit()})"
        if r < 0.76:
            return f'normalize-space({self.string(depth + 1)})'
        if r < 0.82:
            return self.small_number_string(depth)
        if r < 0.88:
            return f'string({self.boolean(depth + 1)})'
        return self.lit()

    def numeric_safe(self, text, op):
        # A relational comparison turns a string into a number; a digit after it keeps a lone
        # '-' out of number() (see the note at the top).
        return f"concat({text}, '1')" if op in ('<', '<=', '>', '>=') else text

    def boolean(self, depth=0):
        rng = self.rng
        r = rng.random()
        if depth > 2 or r < 0.08:
            return rng.choice(['true()', 'false()'])
        op = rng.choice(['=', '!=', '<', '<=', '>', '>='])
        if r < 0.3:
            # Node-set against node-set, string, number or boolean.
            a = self.nodeset(depth + 1)[0]
            other = rng.choice([self.nodeset(depth + 1)[0], self.numeric_safe(self.string(depth + 1), op),
                                self.number(depth + 1), self.boolean(depth + 1)])
            return f'({a}) {op} ({other})' if rng.random() < 0.5 else f'({other}) {op} ({a})'
        if r < 0.42:
            return f'({self.number(depth + 1)}) {op} ({self.number(depth + 1)})'
        if r < 0.5:
            other = rng.choice([self.numeric_safe(self.string(depth + 1), op), self.number(depth + 1),
                                self.boolean(depth + 1)])
            return f'({self.numeric_safe(self.string(depth + 1), op)}) {op} ({other})'
        if r < 0.6:
            return f'({self.boolean(depth + 1)}) {rng.choice(["and", "or"])} ({self.boolean(depth + 1)})'
        if r < 0.66:
            return f'not({self.boolean(depth + 1)})'
        if r < 0.74:
            f = rng.choice(['contains', 'starts-with'])
            return f'{f}({self.string(depth + 1)}, {self.string(depth + 1)})'
        if r < 0.82:
            return f'boolean({rng.choice([self.nodeset(depth + 1)[0], self.string(depth + 1), self.number(depth + 1)])})'
        if r < 0.88:
            ns, unordered = self.nodeset(depth + 1)
            if unordered:  # lang() of a namespace node: see the note at the top
                ns = f'({ns})/..'
            return f"count(({ns})[lang('{rng.choice(['en', 'de', 'EN'])}')]) > 0"
        return f'({self.nodeset(depth + 1)[0]}) {op} ({self.nodeset(depth + 1)[0]})'

    def namespace_position_fields(self, e):
        """Positional predicates after a namespace step, in fields that hold whatever order
        the namespace nodes of one element have: a position on the axis and the same position
        in the node-set in document order name one node, and xml comes first."""
        k = self.ns_rng.choice(['1', '2', '2', '3', 'last()', 'last()', 'last() - 1',
                                'position() > 1', 'position() mod 2 = 0'])
        one = f'(({e})/ancestor-or-self::*)[last()]'
        return [('string', f'string(name({one}/namespace::*[{k}]) = name(({one}/namespace::*)[{k}]))'),
                ('number', f'count({one}/namespace::*[{k}] | ({one}/namespace::*)[{k}])'),
                ('number', f'count(({e})/namespace::*[{k}])'),
                ('string', f'name({one}/namespace::*[1])')]

    def fields(self):
        """One random expression as (expression text, [(kind, field expression)])."""
        rng = self.rng
        r = rng.random()
        if r < 0.4:
            e, unordered = self.nodeset()
            fields = [('number', f'count({e})'), ('number', f'sum({e})'),
                      ('number', f"count(({e})[. = '12' or . = '3'])")]
            if not unordered:
                fields += [('string', f'string({e})'), ('string', f'name({e})'),
                           ('string', f'namespace-uri(({e})[last()])'),
                           ('string', f'string(({e})[last()])')]
                fields += self.namespace_position_fields(e)
            return e, fields
        if r < 0.6:
            e = self.number()
            return e, [('number', f'string({e})')]
        if r < 0.8:
            e = self.string()
            return e, [('string', f'string({e})')]
        e = self.boolean()
        return e, [('string', f'string({e})')]


# ---- running ----

def run(cmd):
    r = subprocess.run(cmd, capture_output=True, timeout=60)
    return r.returncode, r.stdout.decode('utf-8', 'replace')


def evaluate(probe, doc, expr):
    """(ours, theirs): the string results, or None where a program refused."""
    code, out = run([probe, 'xpath', doc, expr])
    ours = out[:-1] if code == 0 and out.endswith('\n') else None
    if ours is not None and ours.startswith(('node-set ', 'error ')):
        ours = None
    code, out = run(['xmllint', '--xpath', expr, doc])
    theirs = out[:-1] if code == 0 and out.endswith('\n') else None
    return ours, theirs


def same(kind, a, b):
    if a == b:
        return True
    if kind != 'number':
        return False
    try:
        x, y = float(a), float(b)
    except ValueError:
        return False
    if x != x and y != y:
        return True
    return abs(x - y) <= 1e-12 * max(abs(x), abs(y))


def concat(fields):
    parts = []
    for _, f in fields:
        parts += [f, f"'{SEP}'"]
    return 'concat(' + ', '.join(parts[:-1] + (["''"] if len(parts) < 3 else [])) + ')'


def main():
    args = sys.argv[1:]
    if not args or args[0].startswith('-'):
        print(__doc__)
        return 2
    probe = os.path.abspath(args.pop(0))
    seed, docs, exprs, show = 27, 6, 600, 20
    it = iter(args)
    for a in it:
        if a == '--seed': seed = int(next(it))
        elif a == '--docs': docs = int(next(it))
        elif a == '--exprs': exprs = int(next(it))
        elif a == '--show': show = int(next(it))
        else:
            print(__doc__)
            return 2
    rng = random.Random(seed)
    failures = []
    checked = 0
    with tempfile.TemporaryDirectory() as tmp:
        for d in range(docs):
            path = os.path.join(tmp, f'doc{d}.xml')
            with open(path, 'w', encoding='utf-8') as f:
                f.write(make_doc(rng))
            gen = Gen(rng, random.Random(seed * 1009 + d))
            items = [gen.fields() for _ in range(exprs)]
            for start in range(0, len(items), 50):
                batch = items[start:start + 50]
                flat = [fld for _, fl in batch for fld in fl]
                ours, theirs = evaluate(probe, path, concat(flat))
                if ours is not None and theirs is not None:
                    a, b = ours.split(SEP), theirs.split(SEP)
                    if len(a) == len(b) == len(flat) and all(same(k, x, y) for (k, _), x, y in zip(flat, a, b)):
                        checked += len(batch)
                        continue
                # Find the expressions that disagree, one at a time.
                for expr, fl in batch:
                    checked += 1
                    for kind, field in fl:
                        o, t = evaluate(probe, path, field)
                        if o is None and t is None:
                            continue
                        if o is None or t is None or not same(kind, o, t):
                            failures.append((path, open(path, encoding='utf-8').read(), field, o, t))
                            break
        for path, text, field, o, t in failures[:show]:
            print(f'DIFFER in {os.path.basename(path)}: {field}\n  ours:    {o!r}\n  xmllint: {t!r}')
        if failures and show:
            print('first differing document:\n' + failures[0][1])
    print(f'{checked} expressions over {docs} documents (seed {seed}); {len(failures)} disagree')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
