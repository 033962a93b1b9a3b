#!/bin/bash
# Auction benchmark in the XMark style: the queries of bench/xmark/ (joins
# through keys, grouping, sorting, string functions, aggregates, template
# rules by mode) over a generated auction document of about 11 MB, run by
# `ostxslt` and by `xsltproc`. Prints for each query both times (best of the
# runs), both peak memories, the ratios (ours / xsltproc) and whether our
# result equals xsltproc's (the XML declaration aside); then the geometric
# means of the ratios.
#   bench/xmark.sh [build folder] [runs] [scale]
# Scale 1 gives about 11 MB (see bench/xmark/make_auction.py).
# Needs xsltproc, python3 and /usr/bin/time (package time).
set -uo pipefail

build=${1:-build}
runs=${2:-3}
scale=${3:-1}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ours_vs_xsltproc.sh"

python3 "$here/xmark/make_auction.py" "$work/auction.xml" --scale "$scale" || exit 2

# The result without its XML declaration: the two write different ones.
body() { sed -e '1s/^<?xml[^>]*?>//' "$1"; }

printf "%-15s %9s %9s %7s %10s %10s %7s  %s\n" query ostxslt xsltproc ratio "peak ours" "peak xslt" ratio results
rows=$work/rows
: > "$rows"
for xsl in "$here"/xmark/q*.xsl; do
  name=$(basename "$xsl" .xsl)
  read -r ours_s ours_kb ours_status < <(best_of "$work/ours.log" "$program" -xml "$work/auction.xml" \
    -xsl "$xsl" -out "$work/ours.out")
  read -r peer_s peer_kb peer_status < <(best_of "$work/peer.log" xsltproc --nonet -o "$work/peer.out" \
    "$xsl" "$work/auction.xml")
  if [ "$ours_status" != 0 ] || [ "$peer_status" != 0 ]; then
    printf "%-15s failed (ostxslt exit %s, xsltproc exit %s): %s\n" "$name" "$ours_status" "$peer_status" \
      "$(grep -v '^$' "$work/ours.log" | head -2 | tr '\n' ' ')"
    continue
  fi
  if cmp -s <(body "$work/ours.out") <(body "$work/peer.out"); then agree=same; else agree=differ; fi
  echo "$name $ours_s $ours_kb $peer_s $peer_kb $agree" >> "$rows"
  awk -v n="$name" -v os="$ours_s" -v ok="$ours_kb" -v ps="$peer_s" -v pk="$peer_kb" -v a="$agree" 'BEGIN {
    printf "%-15s %8.2fs %8.2fs %7.2f %9.1fM %9.1fM %7.2f  %s\n", n, os, ps, (ps > 0 ? os / ps : 0),
      ok / 1024, pk / 1024, (pk > 0 ? ok / pk : 0), a
  }'
  rm -f "$work/ours.out" "$work/peer.out"
done
# A fast wrong answer does not count: the means take the queries whose results
# agree.
awk '$6 == "same" && $2 > 0 && $4 > 0 && $3 > 0 && $5 > 0 {
  n++; t += log($2 / $4); m += log($3 / $5)
} END {
  if (n) printf "geometric mean over %d queries with equal results: time %.2f, peak memory %.2f\n", n, exp(t / n), exp(m / n)
  else print "geometric mean: no query with equal results"
}' "$rows"
echo "input: $(stat -c %s "$work/auction.xml") bytes; best of $runs runs"
