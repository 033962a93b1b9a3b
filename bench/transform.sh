#!/bin/bash
# Transform benchmark: times `ostxslt` against `xsltproc` in the same run on
# generated inputs and prints both times, both peak memories and the ratios
# (ours / xsltproc), and whether the two results agree (white space aside).
#   bench/transform.sh [build folder] [identity size in MB]
# Cases: an identity transform of a 20 MB document; a for-each with xsl:sort
# over 100,000 records; key() lookups joining two sets of 50,000 records; a
# recursive named template that splits a long string.
# Needs xsltproc and /usr/bin/time (package time).
set -uo pipefail

build=${1:-build}
megabytes=${2:-20}
. "$(dirname "$0")/ours_vs_xsltproc.sh"

# ---- Inputs ----

awk -v target=$((megabytes * 1024 * 1024)) 'BEGIN {
  print "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
  print "<catalog>"
  size = 0
  for (i = 0; size < target; i++) {
    line = sprintf("<item id=\"i%d\" kind=\"k%d\"><name>Item number %d &amp; friends</name>", i, i % 17, i) \
      sprintf("<tags><tag>t%d</tag><tag v=\"%d\"/></tags><text>Some text, line %d.</text></item>", i % 31, i, i)
    print line
    size += length(line) + 1
  }
  print "</catalog>"
}' > "$work/identity.xml"
cat > "$work/identity.xsl" <<'EOF'
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<xsl:template match="@*|node()"><xsl:copy><xsl:apply-templates select="@*|node()"/></xsl:copy></xsl:template>
</xsl:stylesheet>
EOF

awk 'BEGIN {
  srand(7)
  print "<records>"
  for (i = 0; i < 100000; i++)
    printf "<record id=\"r%d\"><name>n%08d</name><score>%d</score></record>\n", i, int(rand() * 100000000), int(rand() * 1000)
  print "</records>"
}' > "$work/sort.xml"
cat > "$work/sort.xsl" <<'EOF'
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<xsl:output method="text"/>
<xsl:template match="/">
<xsl:for-each select="records/record">
<xsl:sort select="score" data-type="number" order="descending"/>
<xsl:sort select="name"/>
<xsl:value-of select="@id"/><xsl:text>&#10;</xsl:text>
</xsl:for-each>
</xsl:template>
</xsl:stylesheet>
EOF

awk 'BEGIN {
  print "<shop><customers>"
  for (i = 0; i < 50000; i++) printf "<customer id=\"c%d\"><name>Customer %d</name></customer>\n", i, i
  print "</customers><orders>"
  for (i = 0; i < 50000; i++) printf "<order id=\"o%d\" customer=\"c%d\" total=\"%d\"/>\n", i, (i * 7919) % 50000, i % 500
  print "</orders></shop>"
}' > "$work/join.xml"
cat > "$work/join.xsl" <<'EOF'
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<xsl:output method="text"/>
<xsl:key name="customer" match="customer" use="@id"/>
<xsl:template match="/">
<xsl:for-each select="shop/orders/order">
<xsl:value-of select="@id"/><xsl:text> </xsl:text>
<xsl:value-of select="key('customer', @customer)/name"/><xsl:text>&#10;</xsl:text>
</xsl:for-each>
</xsl:template>
</xsl:stylesheet>
EOF

awk 'BEGIN {
  printf "<text>"
  for (i = 0; i < 5000; i++) printf "%sword%d", (i ? "," : ""), i
  print "</text>"
}' > "$work/split.xml"
cat > "$work/split.xsl" <<'EOF'
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<xsl:output method="text"/>
<xsl:template match="/">
<xsl:call-template name="split"><xsl:with-param name="rest" select="string(text)"/></xsl:call-template>
</xsl:template>
<xsl:template name="split">
<xsl:param name="rest"/>
<xsl:choose>
<xsl:when test="contains($rest, ',')">
<xsl:value-of select="substring-before($rest, ',')"/><xsl:text>&#10;</xsl:text>
<xsl:call-template name="split"><xsl:with-param name="rest" select="substring-after($rest, ',')"/></xsl:call-template>
</xsl:when>
<xsl:otherwise><xsl:value-of select="$rest"/><xsl:text>&#10;</xsl:text></xsl:otherwise>
</xsl:choose>
</xsl:template>
</xsl:stylesheet>
EOF

# ---- Runs ----

report_header
for name in identity sort join split; do
  xml=$work/$name.xml
  xsl=$work/$name.xsl
  # The recursion of the split case is 5,000 calls deep: both processors get
  # room for it (our limit counts frames, several per call).
  read -r ours_s ours_kb ours_status < <(measure "$work/ours.log" "$program" -xml "$xml" -xsl "$xsl" \
    -out "$work/ours.out" -xslstack 1000000)
  read -r peer_s peer_kb peer_status < <(measure "$work/peer.log" xsltproc --maxdepth 100000 -o "$work/peer.out" \
    "$xsl" "$xml")
  if [ "$ours_status" != 0 ]; then
    printf "%-9s ostxslt failed (exit %s): %s\n" "$name" "$ours_status" \
      "$(grep -v '^$' "$work/ours.log" | head -2 | tr '\n' ' ')"
    awk -v ps="$peer_s" -v pk="$peer_kb" 'BEGIN { printf "%-9s %9s %8.2fs %7s %10s %9.1fM\n", "", "-", ps, "-", "-", pk / 1024 }'
    continue
  fi
  if [ "$peer_status" != 0 ]; then
    printf "%-9s xsltproc failed (exit %s)\n" "$name" "$peer_status"
    continue
  fi
  report_row "$name" "$ours_s" "$ours_kb" "$peer_s" "$peer_kb"
done
echo "identity input: $(stat -c %s "$work/identity.xml") bytes"
