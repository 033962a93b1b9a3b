#!/bin/bash
# Large-stylesheet benchmark: compiling and running stylesheets whose size is
# in the stylesheet, not the source, by `ostxslt` and by `xsltproc`. Prints
# both times (best of the runs), both peak memories, the ratios (ours /
# xsltproc) and whether the results agree (white space aside).
#   bench/stylesheets.sh [build folder] [runs] [stylesheet MB] [predicates]
# Cases: a template of nested literal result elements with attributes and
# text, 10 MB of it; an expression of one path with a chain of 300,000
# predicates //a[1][1]...[1].
# Needs xsltproc and /usr/bin/time (package time).
set -uo pipefail

build=${1:-build}
runs=${2:-3}
megabytes=${3:-10}
predicates=${4:-300000}
. "$(dirname "$0")/ours_vs_xsltproc.sh"

# ---- Inputs ----

echo '<doc><a>first</a><a>second</a></doc>' > "$work/doc.xml"

awk -v target=$((megabytes * 1024 * 1024)) 'BEGIN {
  print "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
  print "<xsl:template match=\"/\"><book>"
  size = 0
  for (i = 0; size < target; i++) {
    line = sprintf("<chapter n=\"%d\" class=\"c%d\"><title>Chapter %d</title><para role=\"r%d\">Text of " \
      "paragraph %d, <em>with</em> <code>markup</code> &amp; an entity.</para><list><item>one</item>" \
      "<item>two</item></list></chapter>", i, i % 13, i, i % 7, i)
    print line
    size += length(line) + 1
  }
  print "</book></xsl:template>"
  print "</xsl:stylesheet>"
}' > "$work/literal.xsl"

awk -v n="$predicates" 'BEGIN {
  print "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
  print "<xsl:output method=\"text\"/>"
  printf "<xsl:template match=\"/\"><xsl:value-of select=\"//a"
  for (i = 0; i < n; i++) printf "[1]"
  print "\"/></xsl:template>"
  print "</xsl:stylesheet>"
}' > "$work/predicates.xsl"

# ---- Runs ----


report_header
for name in literal predicates; do
  xsl=$work/$name.xsl
  read -r ours_s ours_kb ours_status < <(best_of "$work/ours.log" "$program" -xml "$work/doc.xml" -xsl "$xsl" \
    -out "$work/ours.out")
  read -r peer_s peer_kb peer_status < <(best_of "$work/peer.log" xsltproc -o "$work/peer.out" "$xsl" "$work/doc.xml")
  if [ "$ours_status" != 0 ]; then
    printf "%-9s ostxslt failed (exit %s): %s\n" "$name" "$ours_status" \
      "$(grep -v '^$' "$work/ours.log" | head -2 | tr '\n' ' ')"
    continue
  fi
  if [ "$peer_status" != 0 ]; then
    # The peer may refuse an expression this deep: our figures stand alone.
    awk -v n="$name" -v os="$ours_s" -v ok="$ours_kb" 'BEGIN {
      printf "%-9s %8.2fs %9s %7s %9.1fM %10s %7s  xsltproc failed\n", n, os, "-", "-", ok / 1024, "-", "-"
    }'
    rm -f "$work/ours.out" "$work/peer.out"
    continue
  fi
  report_row "$name" "$ours_s" "$ours_kb" "$peer_s" "$peer_kb"
done
echo "stylesheets: literal $(stat -c %s "$work/literal.xsl") bytes, predicates $(stat -c %s "$work/predicates.xsl") bytes; best of $runs runs"
