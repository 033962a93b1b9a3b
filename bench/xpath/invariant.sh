#!/bin/bash
# Invariant operands benchmark: predicates whose operands do not depend on
# the candidate (an absolute path, a function of one, key() with fixed
# arguments), over a document of 2,000 groups. Times `ostxslt` against
# `xsltproc` on the same stylesheet in the same run, best of three, and
# prints both times, the ratio (ours / xsltproc) and whether the results
# agree.
#   bench/xpath/invariant.sh [build folder] [groups]
# Needs xsltproc.
set -uo pipefail

build=${1:-build}
groups=${2:-2000}
program=$build/src/app/ostxslt
if [ ! -x "$program" ]; then
  echo "no $program: build it first (cmake --build $build --target ostxslt)" >&2
  exit 2
fi
command -v xsltproc >/dev/null || { echo "xsltproc is not installed" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

awk -v groups=$groups 'BEGIN {
  print "<root>"
  for (i = 0; i < groups; i++) {
    printf "<g id=\"g%d\">", i
    for (j = 0; j < 5; j++) printf "<x v=\"%d\"/>", (i * 5 + j) % 997
    print "</g>"
  }
  print "</root>"
}' > "$work/doc.xml"

sheet() {  # sheet NAME EXPRESSION
  cat > "$work/$1.xsl" <<EOF2
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<xsl:output method="text"/>
<xsl:key name="v" match="x" use="@v"/>
<xsl:template match="/"><xsl:value-of select="$2"/></xsl:template>
</xsl:stylesheet>
EOF2
}
sheet path 'count(//g[x/@v = //g[1]/x/@v])'
sheet count 'count(//g[count(x) = count(//g[last()]/x)])'
sheet key 'count(//g[x/@v = key(&quot;v&quot;, &quot;7&quot;)/@v])'

seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}

printf '%-6s %-48s %8s %9s %7s  %s\n' case expression ours xsltproc ratio results
for name in path count key; do
  best_ours=999999; best_peer=999999
  for run in 1 2 3; do
    t=$(seconds "$program" -xml "$work/doc.xml" -xsl "$work/$name.xsl" -out "$work/ours.txt")
    best_ours=$(echo "if ($t < $best_ours) $t else $best_ours" | bc)
    t=$(seconds xsltproc -o "$work/peer.txt" "$work/$name.xsl" "$work/doc.xml")
    best_peer=$(echo "if ($t < $best_peer) $t else $best_peer" | bc)
  done
  if cmp -s "$work/ours.txt" "$work/peer.txt"; then agree=same; else agree=differ; fi
  expression=$(sed -n 's/.*select="\(count(\/\/g\[.*\)"\/>.*/\1/p' "$work/$name.xsl" | sed 's/&quot;/"/g')
  printf '%-6s %-48s %7.3fs %8.3fs %7.3f  %s\n' "$name" "$expression" "$best_ours" "$best_peer" \
    "$(echo "$best_ours / $best_peer" | bc -l)" "$agree"
done
