#!/bin/bash
# Template-rule benchmark: a stylesheet of 200 template rules (element
# names, a few with predicates or steps, text output) over a generated
# document of about 10 MB, timed for ostxslt against xsltproc in the same
# run (each loads both documents and writes its output file); prints the
# best of three runs of each and their ratio, and checks that the outputs
# are the same. With -DOST_BUILD_BENCH=ON, bench_templates also splits our
# time into loading and transforming.
#   bench/templates/templates.sh [build folder] [size in MB]
# Needs xsltproc.
set -euo pipefail

build=${1:-build}
megabytes=${2:-10}
ours=$build/src/app/ostxslt
split=$build/bench/templates/bench_templates
[ -x "$ours" ] || { echo "no $ours: build ostxslt first" >&2; exit 2; }
command -v xsltproc >/dev/null || { echo "xsltproc is not installed" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
doc=$work/in.xml
style=$work/style.xsl

awk -v target=$((megabytes * 1024 * 1024)) 'BEGIN {
  print "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
  print "<doc>"
  size = 0
  for (i = 0; size < target; i++) {
    line = sprintf("<e%d id=\"%d\"><f%d k=\"%d\">text %d</f%d><g>g</g><h n=\"%d\">h %d</h></e%d>",
                   i % 100, i, (i * 7) % 97, i % 3, i, (i * 7) % 97, i % 5, i, i % 100)
    print line
    size += length(line) + 1
  }
  print "</doc>"
}' > "$doc"

{
  echo '<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">'
  echo '<xsl:output method="text"/>'
  for i in $(seq 0 99); do echo "<xsl:template match=\"e$i\">[e$i]<xsl:apply-templates/></xsl:template>"; done
  for i in $(seq 0 96); do echo "<xsl:template match=\"f$i\"><xsl:value-of select=\".\"/></xsl:template>"; done
  echo '<xsl:template match="f1[@k=2]">[f1k2]</xsl:template>'
  echo '<xsl:template match="e7/h">[h7]</xsl:template>'
  echo '<xsl:template match="g"/>'
  echo '</xsl:stylesheet>'
} > "$style"

seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" > "$work/out" 2>/dev/null || true
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}

best_ours=999999; best_proc=999999
for run in 1 2 3; do
  t=$(seconds "$ours" -xsl "$style" -xml "$doc" -out "$work/ours.txt"); best_ours=$(echo "if ($t < $best_ours) $t else $best_ours" | bc)
  t=$(seconds xsltproc -o "$work/proc.txt" "$style" "$doc"); best_proc=$(echo "if ($t < $best_proc) $t else $best_proc" | bc)
done
printf 'document: %s bytes, 200 template rules\n' "$(stat -c %s "$doc")"
if cmp -s "$work/ours.txt" "$work/proc.txt"; then
  printf 'output: %s bytes, the same from both\n' "$(stat -c %s "$work/proc.txt")"
else
  printf 'output: DIFFERENT (ours %s bytes, xsltproc %s bytes)\n' "$(stat -c %s "$work/ours.txt" 2>/dev/null || echo 0)" \
    "$(stat -c %s "$work/proc.txt")"
fi
if [ -x "$split" ]; then
  printf 'ours, one run through the processor: %s\n' "$("$split" "$style" "$doc" 2>&1 >/dev/null | grep '^load')"
fi
printf '%-10s %8s %8s %7s\n' "" ours xsltproc ratio
printf '%-10s %8.3f %8.3f %7.2f\n' seconds "$best_ours" "$best_proc" "$(echo "scale=4; $best_ours / $best_proc" | bc)"
