#!/bin/bash
# Template-rule benchmark: a stylesheet of 200 template rules (element
# names, a few with predicates or steps, text output) over a generated
# document of about 10 MB, timed for our processor (bench_templates, load
# included) against xsltproc in the same run; prints the best of three runs
# of each, their ratio, and checks that both outputs have the same length.
#   bench/templates/templates.sh [build folder] [size in MB]
# Build with -DOST_BUILD_BENCH=ON first. Needs xsltproc.
set -euo pipefail

build=${1:-build}
megabytes=${2:-10}
ours=$build/bench/templates/bench_templates
[ -x "$ours" ] || { echo "no $ours: configure with -DOST_BUILD_BENCH=ON and build bench_templates" >&2; exit 2; }
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
  t=$(seconds "$ours" "$style" "$doc"); best_ours=$(echo "if ($t < $best_ours) $t else $best_ours" | bc)
  t=$(seconds xsltproc -o "$work/proc.txt" "$style" "$doc"); best_proc=$(echo "if ($t < $best_proc) $t else $best_proc" | bc)
done
"$ours" "$style" "$doc" > "$work/length" 2> "$work/split" || true
ours_length=$(cat "$work/length")
proc_length=$(iconv -f UTF-8 -t UTF-16LE "$work/proc.txt" | wc -c)
printf 'document: %s bytes, 200 template rules\n' "$(stat -c %s "$doc")"
printf 'output: ours %s characters, xsltproc %s characters\n' "$ours_length" "$((proc_length / 2))"
printf 'ours, one run: %s\n' "$(grep '^load' "$work/split")"
printf '%-10s %8s %8s %7s\n' "" ours xsltproc ratio
printf '%-10s %8.3f %8.3f %7.2f\n' seconds "$best_ours" "$best_proc" "$(echo "scale=4; $best_ours / $best_proc" | bc)"
