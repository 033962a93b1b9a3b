#!/usr/bin/env python3
"""Writes an auction-site document in the XMark style for bench/xmark.sh.

usage: make_auction.py OUT.xml [--scale F]

Scale 1 (the default) gives about 11 MB: 3,800 items in six regions, 4,400 people,
2,100 open auctions with their bids, 1,750 closed auctions and 175 categories with a graph of
edges between them. The document is the same on every run (fixed seed). Cross references use
ids and IDREF-like attributes (person, item, category, open_auction), so that the queries join
through keys.
"""
import random, sys

WORDS = ('auction bid gold silver vintage rare lamp chair table clock mirror painting coin stamp '
         'book letter map watch ring brooch vase bowl plate glass crystal bronze copper oak pine '
         'walnut linen silk wool leather carved painted signed boxed mint used worn restored '
         'original antique modern classic large small heavy light bright dark early late').split()
FIRST = ('Anna Ben Carla Dmitri Elena Farid Greta Hugo Ines Jonas Kira Luis Mira Nils Olga '
         'Pavel Quinn Rosa Sven Tara Ugo Vera Walt Xenia Yusuf Zoe').split()
LAST = ('Abbott Berg Castro Dietz Eklund Fischer Garcia Holm Ivanov Jensen Kowalski Lund '
        'Moreau Novak Ortega Petrov Quist Rossi Silva Tanaka Ulrich Varga Weber Young Zimmer').split()
CITIES = ('Amsterdam Berlin Cairo Denver Essen Florence Geneva Helsinki Izmir Jakarta Kyoto '
          'Lima Madrid Nairobi Oslo Porto Quito Riga Seoul Tunis Utrecht Vienna Warsaw').split()
COUNTRIES = ('Netherlands Germany Egypt United-States Italy Switzerland Finland Turkey '
             'Indonesia Japan Peru Spain Kenya Norway Portugal Ecuador Latvia Korea').split()
DOMAINS = ('example.com mail.example.org post.example.net auction.example.com example.edu').split()
REGIONS = (('africa', 0.05), ('asia', 0.10), ('australia', 0.10), ('europe', 0.30),
           ('namerica', 0.35), ('samerica', 0.10))
EDUCATION = ('High School', 'College', 'Graduate School', 'Other')


def main():
    args = sys.argv[1:]
    scale = 1.0
    if '--scale' in args:
        i = args.index('--scale')
        scale = float(args[i + 1])
        del args[i:i + 2]
    if len(args) != 1:
        sys.exit(__doc__)
    rng = random.Random(2001)
    items, people = int(3800 * scale), int(4400 * scale)
    opens, closed, categories = int(2100 * scale), int(1750 * scale), max(10, int(175 * scale))
    out = []
    w = out.append

    def words(low, high):
        return ' '.join(rng.choice(WORDS) for _ in range(rng.randint(low, high)))

    def text(low, high):
        parts = []
        for _ in range(rng.randint(1, 3)):
            parts.append(words(low, high))
            r = rng.random()
            if r < 0.3:
                parts.append(f'<bold>{words(1, 3)}</bold>')
            elif r < 0.5:
                parts.append(f'<keyword>{words(1, 2)}</keyword>')
            elif r < 0.6:
                parts.append(f'<emph>{words(1, 2)}</emph>')
        return '<text>' + ' '.join(parts) + '</text>'

    def description():
        if rng.random() < 0.7:
            return f'<description>{text(10, 40)}</description>'
        items_ = ''.join(f'<listitem>{text(5, 15)}</listitem>' for _ in range(rng.randint(2, 4)))
        return f'<description><parlist>{items_}</parlist></description>'

    def date():
        return f'{rng.randint(1, 12):02d}/{rng.randint(1, 28):02d}/{rng.randint(1998, 2001)}'

    w('<?xml version="1.0" encoding="UTF-8"?>\n<site>\n<regions>\n')
    item = 0
    for region, share in REGIONS:
        w(f'<{region}>\n')
        for _ in range(max(1, int(items * share))):
            featured = ' featured="yes"' if rng.random() < 0.1 else ''
            w(f'<item id="item{item}"{featured}>'
              f'<location>{rng.choice(COUNTRIES)}</location><quantity>{rng.randint(1, 5)}</quantity>'
              f'<name>{words(2, 4)}</name><payment>{rng.choice(["Creditcard", "Money order", "Cash", "Personal Check"])}</payment>'
              f'{description()}<shipping>{words(3, 8)}</shipping>')
            for c in sorted(rng.sample(range(categories), rng.randint(1, 3))):
                w(f'<incategory category="category{c}"/>')
            w('<mailbox>')
            for _ in range(rng.randint(0, 3)):
                w(f'<mail><from>{rng.choice(FIRST)} {rng.choice(LAST)}</from><to>{rng.choice(FIRST)} '
                  f'{rng.choice(LAST)}</to><date>{date()}</date>{text(10, 30)}</mail>')
            w('</mailbox></item>\n')
            item += 1
        w(f'</{region}>\n')
    items = item
    w('</regions>\n<categories>\n')
    for c in range(categories):
        w(f'<category id="category{c}"><name>{words(1, 3)}</name>{description()}</category>\n')
    w('</categories>\n<catgraph>\n')
    for _ in range(categories * 2):
        w(f'<edge from="category{rng.randrange(categories)}" to="category{rng.randrange(categories)}"/>\n')
    w('</catgraph>\n<people>\n')
    for p in range(people):
        first, last = rng.choice(FIRST), rng.choice(LAST)
        w(f'<person id="person{p}"><name>{first} {last}</name>'
          f'<emailaddress>mailto:{last}{p}@{rng.choice(DOMAINS)}</emailaddress>')
        if rng.random() < 0.5:
            w(f'<phone>+{rng.randint(1, 99)} ({rng.randint(10, 999)}) {rng.randint(1000000, 99999999)}</phone>')
        if rng.random() < 0.6:
            w(f'<address><street>{rng.randint(1, 99)} {rng.choice(LAST)} St</street><city>{rng.choice(CITIES)}</city>'
              f'<country>{rng.choice(COUNTRIES)}</country><zipcode>{rng.randint(1, 99)}</zipcode></address>')
        if rng.random() < 0.7:
            w(f'<profile income="{rng.uniform(9000, 120000):.2f}">')
            for c in sorted(rng.sample(range(categories), rng.randint(0, 4))):
                w(f'<interest category="category{c}"/>')
            if rng.random() < 0.5:
                w(f'<education>{rng.choice(EDUCATION)}</education>')
            w(f'<business>{rng.choice(["Yes", "No"])}</business>')
            if rng.random() < 0.6:
                w(f'<age>{rng.randint(18, 80)}</age>')
            w('</profile>')
        if rng.random() < 0.5:
            w('<watches>' + ''.join(f'<watch open_auction="open_auction{rng.randrange(opens)}"/>'
                                    for _ in range(rng.randint(1, 4))) + '</watches>')
        w('</person>\n')
    w('</people>\n<open_auctions>\n')
    for a in range(opens):
        initial = rng.uniform(1, 200)
        w(f'<open_auction id="open_auction{a}"><initial>{initial:.2f}</initial>')
        if rng.random() < 0.4:
            w(f'<reserve>{initial * rng.uniform(1.2, 3):.2f}</reserve>')
        current = initial
        for _ in range(rng.randint(0, 12)):
            increase = rng.choice([1.5, 3, 4.5, 6, 7.5, 9, 12, 15, 18, 24])
            current += increase
            w(f'<bidder><date>{date()}</date><time>{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:00</time>'
              f'<personref person="person{rng.randrange(people)}"/><increase>{increase:.2f}</increase></bidder>')
        w(f'<current>{current:.2f}</current>')
        if rng.random() < 0.3:
            w('<privacy>Yes</privacy>')
        w(f'<itemref item="item{rng.randrange(items)}"/><seller person="person{rng.randrange(people)}"/>'
          f'<annotation><author person="person{rng.randrange(people)}"/>{description()}'
          f'<happiness>{rng.randint(1, 10)}</happiness></annotation><quantity>{rng.randint(1, 3)}</quantity>'
          f'<type>{rng.choice(["Regular", "Featured", "Dutch"])}</type>'
          f'<interval><start>{date()}</start><end>{date()}</end></interval></open_auction>\n')
    w('</open_auctions>\n<closed_auctions>\n')
    for _ in range(closed):
        w(f'<closed_auction><seller person="person{rng.randrange(people)}"/>'
          f'<buyer person="person{rng.randrange(people)}"/><itemref item="item{rng.randrange(items)}"/>'
          f'<price>{rng.uniform(5, 400):.2f}</price><date>{date()}</date><quantity>{rng.randint(1, 3)}</quantity>'
          f'<type>{rng.choice(["Regular", "Featured"])}</type><annotation><author person="person{rng.randrange(people)}"/>'
          f'{description()}<happiness>{rng.randint(1, 10)}</happiness></annotation></closed_auction>\n')
    w('</closed_auctions>\n</site>\n')
    with open(args[0], 'w', encoding='utf-8') as f:
        f.write(''.join(out))


if __name__ == '__main__':
    main()
