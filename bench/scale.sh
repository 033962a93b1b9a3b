#!/bin/bash
# Scale benchmark: an identity transform, a sort and a grouping by key() of
# one generated large document (100 MB unless told), by `ostxslt` and by
# `xsltproc` in the same run. Prints for each case the wall time, the
# processor time (user + system), the peak memory (/usr/bin/time), the
# ratios ours / xsltproc and whether the two results agree (the identity
# white space aside: the processor drops whitespace-only source text by
# design; the sort and keys outputs byte for byte).
#   bench/scale.sh [build folder] [size in MB] [cores: all | 1]
# "1" runs both programs on one core (taskset -c 0).
# Needs xsltproc, /usr/bin/time (package time) and, for one core, taskset.
# Both programs hold the whole document: a 100 MB run needs some 8 GB free.
set -uo pipefail

build=${1:-build}
megabytes=${2:-100}
cores=${3:-all}
. "$(dirname "$0")/ours_vs_xsltproc.sh"

pin=()
if [ "$cores" = 1 ]; then
  command -v taskset >/dev/null || { echo "taskset is not installed" >&2; exit 2; }
  pin=(taskset -c 0)
fi

# Items on one line each; the score and the name are random (fixed seed), so
# the sort has real work and few ties.
awk -v target=$((megabytes * 1024 * 1024)) 'BEGIN {
  srand(11)
  print "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
  print "<catalog>"
  size = 0
  for (i = 0; size < target; i++) {
    line = sprintf("<item id=\"i%d\" kind=\"k%d\" score=\"%d\"><name>n%08d &amp; friends</name>", i, i % 17,
      int(rand() * 1000), int(rand() * 100000000)) \
      sprintf("<tags><tag>t%d</tag><tag v=\"%d\"/></tags><text>Some text, line %d.</text></item>", i % 31, i, i)
    print line
    size += length(line) + 1
  }
  print "</catalog>"
}' > "$work/scale.xml"

cat > "$work/identity.xsl" <<'EOF'
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<xsl:template match="@*|node()"><xsl:copy><xsl:apply-templates select="@*|node()"/></xsl:copy></xsl:template>
</xsl:stylesheet>
EOF
cat > "$work/sort.xsl" <<'EOF'
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<xsl:output method="text"/>
<xsl:template match="/">
<xsl:for-each select="catalog/item">
<xsl:sort select="@score" data-type="number" order="descending"/>
<xsl:sort select="name"/>
<xsl:value-of select="@id"/><xsl:text>&#10;</xsl:text>
</xsl:for-each>
</xsl:template>
</xsl:stylesheet>
EOF

# Groups the items by score (the first item of each score in the key's
# node-set starts a group), then counts each group and names its last item:
# the key's index is built once and asked once per item and three times per
# group.
cat > "$work/keys.xsl" <<'EOF'
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<xsl:output method="text"/>
<xsl:key name="by-score" match="item" use="@score"/>
<xsl:template match="/">
<xsl:for-each select="catalog/item[generate-id() = generate-id(key('by-score', @score)[1])]">
<xsl:value-of select="@score"/>: <xsl:value-of select="count(key('by-score', @score))"/> <xsl:value-of select="key('by-score', @score)[last()]/@id"/><xsl:text>&#10;</xsl:text>
</xsl:for-each>
</xsl:template>
</xsl:stylesheet>
EOF

# Prints "wall-seconds cpu-seconds peak-KB status" of one command.
run_timed() {
  local log=$1
  shift
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "${pin[@]}" "$@" > "$log" 2>&1
  local status=$?
  tail -1 "$work/time" | awk -v s=$status '{ printf "%s %.2f %s %s\n", $1, $2 + $3, $4, s }'
}

same_output() {
  if [ "$1" = identity ]; then
    cmp -s <(squeeze "$work/ours.out") <(squeeze "$work/peer.out")
  else
    cmp -s "$work/ours.out" "$work/peer.out"
  fi
}

echo "document: $(stat -c %s "$work/scale.xml") bytes; cores: $cores"
printf "%-9s %9s %9s %6s %9s %9s %6s %9s %9s %6s  %s\n" case "ours s" "xslt s" ratio "ours cpu" "xslt cpu" \
  ratio "peak ours" "peak xslt" ratio results
for name in identity sort keys; do
  read -r ow oc ok ost < <(run_timed "$work/ours.log" "$program" -xml "$work/scale.xml" -xsl "$work/$name.xsl" \
    -out "$work/ours.out")
  read -r pw pc pk pst < <(run_timed "$work/peer.log" xsltproc -o "$work/peer.out" "$work/$name.xsl" \
    "$work/scale.xml")
  if [ "$ost" != 0 ]; then
    echo "$name: ostxslt failed (exit $ost): $(grep -v '^$' "$work/ours.log" | head -2 | tr '\n' ' ')"
  fi
  if [ "$pst" != 0 ]; then
    echo "$name: xsltproc failed (exit $pst)"
  fi
  if [ "$ost" = 0 ] && [ "$pst" = 0 ] && same_output $name; then agree=same; else agree=differ; fi
  awk -v n=$name -v ow="$ow" -v oc="$oc" -v ok="$ok" -v pw="$pw" -v pc="$pc" -v pk="$pk" -v a=$agree 'BEGIN {
    printf "%-9s %8.2fs %8.2fs %6.2f %8.2fs %8.2fs %6.2f %8.0fM %8.0fM %6.2f  %s\n", n, ow, pw, (pw > 0 ? ow / pw : 0),
      oc, pc, (pc > 0 ? oc / pc : 0), ok / 1024, pk / 1024, (pk > 0 ? ok / pk : 0), a
  }'
  rm -f "$work/ours.out" "$work/peer.out"
done
