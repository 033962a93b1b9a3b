#!/bin/bash
# Sort benchmark: xsl:for-each with xsl:sort over 100,000 items, once by a
# text key and once by a number key, timed for ostxslt against xsltproc in
# the same run (each loads the document and writes its output file). Prints
# the best of three runs of each, the ratio (ours / xsltproc) and whether
# the outputs agree. The number sort must agree; the text keys are made of
# lower-case letters and digits only, where our collation and xsltproc's
# code-point order give the same order.
#   bench/sort/sort.sh [build folder] [items]
# Needs xsltproc.
set -euo pipefail

build=${1:-build}
items=${2:-100000}
ours=$build/src/app/ostxslt
[ -x "$ours" ] || { echo "no $ours: build ostxslt first" >&2; exit 2; }
command -v xsltproc >/dev/null || { echo "xsltproc is not installed" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

awk -v n="$items" 'BEGIN {
  srand(11)
  print "<items>"
  for (i = 0; i < n; i++) {
    word = ""
    for (j = 0; j < 8; j++) word = word substr("abcdefghijklmnopqrstuvwxyz0123456789", int(rand() * 36) + 1, 1)
    printf "<item id=\"i%d\"><name>%s</name><price>%.2f</price></item>\n", i, word, rand() * 100000
  }
  print "</items>"
}' > "$work/in.xml"

for key in text number; do
  if [ $key = text ]; then sort='<xsl:sort select="name"/>'; else sort='<xsl:sort select="price" data-type="number"/>'; fi
  cat > "$work/$key.xsl" <<XSL
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<xsl:output method="text"/>
<xsl:template match="/">
<xsl:for-each select="items/item">$sort<xsl:value-of select="@id"/><xsl:text>&#10;</xsl:text></xsl:for-each>
</xsl:template>
</xsl:stylesheet>
XSL
done

# Best wall time of three runs of a command, in seconds.
best() {
  local best=""
  for _ in 1 2 3; do
    local start end
    start=$(date +%s.%N)
    "$@" > /dev/null 2>&1
    end=$(date +%s.%N)
    best=$(awk -v b="$best" -v t="$(awk -v s="$start" -v e="$end" 'BEGIN { print e - s }')" \
      'BEGIN { if (b == "" || t < b) print t; else print b }')
  done
  echo "$best"
}

printf "%-7s %9s %9s %7s  %s\n" key ostxslt xsltproc ratio results
for key in text number; do
  ours_s=$(best "$ours" -xml "$work/in.xml" -xsl "$work/$key.xsl" -out "$work/ours.txt")
  peer_s=$(best xsltproc -o "$work/peer.txt" "$work/$key.xsl" "$work/in.xml")
  if cmp -s "$work/ours.txt" "$work/peer.txt"; then agree=same; else agree=differ; fi
  awk -v k="$key" -v o="$ours_s" -v p="$peer_s" -v a="$agree" \
    'BEGIN { printf "%-7s %8.2fs %8.2fs %7.2f  %s\n", k, o, p, (p > 0 ? o / p : 0), a }'
done
echo "items: $items"
