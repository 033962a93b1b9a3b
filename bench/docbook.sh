#!/bin/bash
# DocBook benchmark: the installed DocBook XSL html and fo stylesheets run by
# `ostxslt` and by `xsltproc` on a generated book of about 180 KB, on one of
# more than 1 MB, and on a tiny article (start-up: compiling the 40,000-line
# stylesheet dominates). Prints both times, both peak memories, the ratios
# (ours / xsltproc, best of the runs) and whether the results agree (white
# space aside).
#   bench/docbook.sh [build folder] [runs]
# The stylesheets run from a temporary copy in which every
# function-available('exsl:...') and function-available('set:...') test reads
# false(), as tests/e2e/docbook_stylesheets.py does, so that both processors
# take the same path. Needs xsltproc, python3, /usr/bin/time and the packages
# docbook-xsl and docbook-xml.
set -uo pipefail

build=${1:-build}
runs=${2:-3}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ours_vs_xsltproc.sh"
program=$(readlink -f "$program")
stylesheets=/usr/share/xml/docbook/stylesheet/docbook-xsl
if [ ! -f "$stylesheets/html/docbook.xsl" ] || [ ! -f /usr/share/xml/docbook/schema/dtd/4.5/docbookx.dtd ]; then
  echo "docbook-xsl or docbook-xml is not installed" >&2
  exit 2
fi

# ---- Inputs ----

data=$here/../tests/data/docbook
python3 "$data/make_book.py" "$work/book.xml" || exit 2
python3 "$data/make_book.py" "$work/big.xml" --chapters 45 || exit 2
cp "$data/article.xml" "$work/article.xml"
cp -r "$stylesheets" "$work/docbook-xsl"
python3 - "$here/../tests/e2e" "$work/docbook-xsl" <<'PY' || exit 2
import os, sys
sys.path.insert(0, sys.argv[1])
from docbook_stylesheets import EXTENSION_TEST, LEFT_OVER_TEST
for top, _, files in os.walk(sys.argv[2]):
    for name in files:
        if name.endswith('.xsl'):
            path = os.path.join(top, name)
            with open(path, encoding='utf-8') as f:
                text = f.read()
            changed = EXTENSION_TEST.sub('false()', text)
            if LEFT_OVER_TEST.search(changed):
                sys.exit(f'an extension test in {path} was not rewritten')
            if changed != text:
                with open(path, 'w', encoding='utf-8') as f:
                    f.write(changed)
PY

# ---- Runs ----


cd "$work" || exit 2
report_header
for format in html fo; do
  for doc in article book big; do
    case $doc in article) name=$format-tiny ;; book) name=$format-book ;; big) name=$format-1MB ;; esac
    read -r ours_s ours_kb ours_status < <(best_of "$work/ours.log" "$program" -xml "$doc.xml" \
      -xsl "docbook-xsl/$format/docbook.xsl" -out "$work/ours.out")
    read -r peer_s peer_kb peer_status < <(best_of "$work/peer.log" xsltproc --nonet -o "$work/peer.out" \
      "docbook-xsl/$format/docbook.xsl" "$doc.xml")
    if [ "$ours_status" != 0 ] || [ "$peer_status" != 0 ]; then
      printf "%-9s failed (ostxslt exit %s, xsltproc exit %s): %s\n" "$name" "$ours_status" "$peer_status" \
        "$(grep -v '^$' "$work/ours.log" | head -2 | tr '\n' ' ')"
      continue
    fi
    # Generated ids, attribute order and the white space between tags may
    # differ: the results are compared as the DocBook end-to-end test does.
    agree=$(python3 - "$here/../tests/e2e" "$work/ours.out" "$work/peer.out" <<'PY'
import sys
sys.path.insert(0, sys.argv[1])
from docbook_stylesheets import normalise, read_output
print('same' if normalise(read_output(sys.argv[2])) == normalise(read_output(sys.argv[3])) else 'differ')
PY
)
    awk -v n="$name" -v os="$ours_s" -v ok="$ours_kb" -v ps="$peer_s" -v pk="$peer_kb" -v a="$agree" 'BEGIN {
      printf "%-9s %8.2fs %8.2fs %7.2f %9.1fM %9.1fM %7.2f  %s\n", n, os, ps, (ps > 0 ? os / ps : 0),
        ok / 1024, pk / 1024, (pk > 0 ? ok / pk : 0), a
    }'
    rm -f "$work/ours.out" "$work/peer.out"
  done
done
echo "inputs: article $(stat -c %s article.xml), book $(stat -c %s book.xml), big $(stat -c %s big.xml) bytes; best of $runs runs"
