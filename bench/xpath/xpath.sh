#!/bin/bash
# XPath benchmark: generates a document of about 5 MB (groups with id and ref
# attributes, each holding ten x elements with text), then times
# `xmlprobe xpath` against `xmllint --xpath` on the same expressions in the
# same run (load included) and prints both times and their ratio; the first
# row (an expression that selects nothing) is the load alone, and the last
# column compares the time past the load.
#   bench/xpath/xpath.sh [build folder] [size in MB]
# Needs xmllint (libxml2-utils).
set -euo pipefail

build=${1:-build}
megabytes=${2:-5}
probe=$build/tests/tools/xmlprobe
if [ ! -x "$probe" ]; then
  echo "no $probe: build the tests first (cmake --build $build --target xmlprobe)" >&2
  exit 2
fi
command -v xmllint >/dev/null || { echo "xmllint is not installed" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
doc=$work/bench.xml

awk -v target=$((megabytes * 1024 * 1024)) 'BEGIN {
  print "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
  print "<root>"
  size = 0
  for (i = 0; size < target; i++) {
    line = sprintf("<g id=\"g%d\" ref=\"g%d\">", i, (i * 7919) % (i + 50))
    for (j = 0; j < 10; j++)
      line = line sprintf("<x n=\"%d\">text of x %d in group %d, padded to look like a record</x>", j, j, i)
    line = line "</g>"
    print line
    size += length(line) + 1
  }
  print "</root>"
}' > "$doc"

# A node-set result is counted; where the engine has no count() yet, both
# tools print the node-set instead (into /dev/null).
if "$probe" xpath "$doc" 'count(/)' >/dev/null 2>&1; then counted=1; else counted=0; fi

seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}

printf 'document: %s bytes\n' "$(stat -c %s "$doc")"
printf '%-52s %8s %8s %7s %10s\n' expression ours xmllint ratio "past load"
load_ours=0; load_lint=0
for expression in '/nothing' '//g[@id = following::g/@ref]' '//x[preceding-sibling::x]' \
  '//g[x/@n = 9]/following-sibling::g[1]' '/root/g/x[@n > 4][2]' '//x[../@id = "g77"]/preceding::x[3]'; do
  if [ "$counted" = 1 ]; then e="count($expression)"; else e="$expression"; fi
  best_ours=999999; best_lint=999999
  for run in 1 2 3; do
    t=$(seconds "$probe" xpath "$doc" "$e")
    best_ours=$(echo "if ($t < $best_ours) $t else $best_ours" | bc)
    t=$(seconds xmllint --xpath "$e" "$doc")
    best_lint=$(echo "if ($t < $best_lint) $t else $best_lint" | bc)
  done
  if [ "$expression" = /nothing ]; then
    load_ours=$best_ours; load_lint=$best_lint; past=-
  else
    past=$(echo "scale=2; a = $best_ours - $load_ours; b = $best_lint - $load_lint; if (b < 0.001) b = 0.001; if (a < 0) a = 0; a / b" | bc)
  fi
  printf '%-52s %8.3f %8.3f %7.2f %10s\n' "$e" "$best_ours" "$best_lint" "$(echo "$best_ours / $best_lint" | bc -l)" "$past"
done
