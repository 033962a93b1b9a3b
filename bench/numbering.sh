#!/bin/bash
# Keys and numbering benchmark: times `ostxslt` against `xsltproc` in the
# same run and prints both times, both peak memories, the ratios (ours /
# xsltproc) and whether the two results agree (white space aside).
#   bench/numbering.sh [build folder] [key document size in MB]
# Cases: xsl:number level="any" over 100,000 nodes; levels single and
# multiple over the same nodes; key() lookups (one per record, by id and by
# a shared category) over a 10 MB document.
# Needs xsltproc and /usr/bin/time (package time).
set -uo pipefail

build=${1:-build}
megabytes=${2:-10}
. "$(dirname "$0")/ours_vs_xsltproc.sh"

# ---- Inputs ----

# 100,000 items in 1,000 sections of 10 chapters, with notes between them.
awk 'BEGIN {
  print "<book>"
  n = 0
  for (c = 0; c < 10; c++) {
    print "<chapter>"
    for (s = 0; s < 100; s++) {
      printf "<section>"
      for (i = 0; i < 100; i++) printf "<item>%d</item>%s", n++, (i % 10 == 0 ? "<note/>" : "")
      print "</section>"
    }
    print "</chapter>"
  }
  print "</book>"
}' > "$work/number.xml"
cp "$work/number.xml" "$work/levels.xml"
cat > "$work/number.xsl" <<'EOF2'
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<xsl:output method="text"/>
<xsl:template match="/"><xsl:apply-templates select="//item"/></xsl:template>
<xsl:template match="item"><xsl:number level="any"/><xsl:text> </xsl:text><xsl:number level="any" count="item|note" from="chapter"/><xsl:text>&#10;</xsl:text></xsl:template>
</xsl:stylesheet>
EOF2
cat > "$work/levels.xsl" <<'EOF2'
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<xsl:output method="text"/>
<xsl:template match="/"><xsl:apply-templates select="//item"/></xsl:template>
<xsl:template match="item"><xsl:number/><xsl:text> </xsl:text><xsl:number level="multiple" count="chapter|section|item" format="1.a.01"/><xsl:text>&#10;</xsl:text></xsl:template>
</xsl:stylesheet>
EOF2

awk -v target=$((megabytes * 1024 * 1024)) 'BEGIN {
  print "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
  print "<shop>"
  size = 0
  for (i = 0; size < target; i++) {
    line = sprintf("<product id=\"p%d\" cat=\"c%d\" ref=\"p%d\"><name>Product %d</name><price>%d.%02d</price></product>", \
      i, i % 97, (i * 7919) % (i + 1), i, i % 1000, i % 100)
    print line
    size += length(line) + 1
  }
  print "</shop>"
}' > "$work/keys.xml"
cat > "$work/keys.xsl" <<'EOF2'
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<xsl:output method="text"/>
<xsl:key name="id" match="product" use="@id"/>
<xsl:key name="cat" match="product" use="@cat"/>
<xsl:template match="/"><xsl:apply-templates select="shop/product"/></xsl:template>
<xsl:template match="product"><xsl:value-of select="key('id', @ref)/name"/><xsl:text> </xsl:text><xsl:value-of select="count(key('cat', @cat))"/><xsl:text>&#10;</xsl:text></xsl:template>
</xsl:stylesheet>
EOF2

# ---- Runs ----

report_header
for name in number levels keys; do
  xml=$work/$name.xml
  xsl=$work/$name.xsl
  read -r ours_s ours_kb ours_status < <(measure "$work/ours.log" "$program" -xml "$xml" -xsl "$xsl" -out "$work/ours.out")
  read -r peer_s peer_kb peer_status < <(measure "$work/peer.log" xsltproc -o "$work/peer.out" "$xsl" "$xml")
  if [ "$ours_status" != 0 ]; then
    printf "%-9s ostxslt failed (exit %s): %s\n" "$name" "$ours_status" \
      "$(grep -v '^$' "$work/ours.log" | head -2 | tr '\n' ' ')"
    continue
  fi
  if [ "$peer_status" != 0 ]; then
    printf "%-9s xsltproc failed (exit %s)\n" "$name" "$peer_status"
    continue
  fi
  report_row "$name" "$ours_s" "$ours_kb" "$peer_s" "$peer_kb"
done
echo "key document: $(stat -c %s "$work/keys.xml") bytes"
