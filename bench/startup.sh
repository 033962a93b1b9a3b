#!/bin/bash
# Start-up benchmark: a one-template stylesheet over a one-element document,
# run many times by `ostxslt` and by `xsltproc` in the same run; prints the
# processor time (user + system) and wall time per run of each, and the
# ratios (ours / xsltproc).
#   bench/startup.sh [build folder] [runs]
# Needs xsltproc and perf (package linux-perf).
set -uo pipefail

build=${1:-build}
runs=${2:-200}
program=$build/src/app/ostxslt
if [ ! -x "$program" ]; then
  echo "no $program: build it first (cmake --build $build --target ostxslt)" >&2
  exit 2
fi
for tool in xsltproc perf; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo '<a/>' > "$work/one.xml"
cat > "$work/one.xsl" <<'EOF2'
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<xsl:template match="/"><out><xsl:value-of select="name(*)"/></out></xsl:template>
</xsl:stylesheet>
EOF2

# Prints the processor milliseconds per run, averaged by perf stat.
measure() {
  perf stat -x, -r "$runs" -e task-clock "$@" 2>&1 >/dev/null |
    awk -F, '/task-clock/ { cpu = $1 } END { printf "%.3f", cpu }'
}
wall() {
  local start end
  start=$(date +%s%N)
  for ((i = 0; i < runs; i++)); do "$@" >/dev/null 2>&1; done
  end=$(date +%s%N)
  awk -v s="$start" -v e="$end" -v n="$runs" 'BEGIN { printf "%.3f", (e - s) / n / 1e6 }'
}
ours_cpu=$(measure "$program" -xml "$work/one.xml" -xsl "$work/one.xsl" -out "$work/ours.out")
peer_cpu=$(measure xsltproc -o "$work/peer.out" "$work/one.xsl" "$work/one.xml")
ours_wall=$(wall "$program" -xml "$work/one.xml" -xsl "$work/one.xsl" -out "$work/ours.out")
peer_wall=$(wall xsltproc -o "$work/peer.out" "$work/one.xsl" "$work/one.xml")
awk -v oc="$ours_cpu" -v pc="$peer_cpu" -v ow="$ours_wall" -v pw="$peer_wall" -v n="$runs" 'BEGIN {
  printf "one-element transform, %d runs each\n", n
  printf "%-10s %12s %12s\n", "", "cpu ms/run", "wall ms/run"
  printf "%-10s %12.2f %12.2f\n", "ostxslt", oc, ow
  printf "%-10s %12.2f %12.2f\n", "xsltproc", pc, pw
  printf "%-10s %12.2f %12.2f\n", "ratio", (pc > 0 ? oc / pc : 0), (pw > 0 ? ow / pw : 0)
}'
