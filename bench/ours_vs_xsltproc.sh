# Sourced by the benchmarks that time `ostxslt` against `xsltproc` on the same
# input (bench/transform.sh, bench/numbering.sh) after they set `build`.
# Sets `program` and `work` (a temporary folder removed on exit), checks the
# program and the tools, and defines the timing and report helpers.

program=$build/src/app/ostxslt
if [ ! -x "$program" ]; then
  echo "no $program: build it first (cmake --build $build --target ostxslt)" >&2
  exit 2
fi
for tool in xsltproc /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Prints "seconds peak-KB status" of one command, its output going to the log.
measure() {
  local log=$1
  shift
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" > "$log" 2>&1
  local status=$?
  echo "$(tail -1 "$work/time") $status"
}

# Results compared without white space and without an XML declaration: the
# processor drops whitespace-only source text by design.
squeeze() { sed -e '1s/^<?xml[^>]*?>//' "$1" | tr -d ' \t\r\n'; }

# Best of $runs (set by the caller): prints "seconds peak-KB status" with the least time and the
# least peak memory seen, and the status of the last run.
best_of() {
  local log=$1 best_s="" best_kb="" s kb status
  shift
  for ((r = 0; r < runs; r++)); do
    read -r s kb status < <(measure "$log" "$@")
    if [ -z "$best_s" ] || awk -v a="$s" -v b="$best_s" 'BEGIN { exit !(a < b) }'; then best_s=$s; fi
    if [ -z "$best_kb" ] || [ "$kb" -lt "$best_kb" ]; then best_kb=$kb; fi
  done
  echo "$best_s $best_kb $status"
}

report_header() {
  printf "%-9s %9s %9s %7s %10s %10s %7s  %s\n" case ostxslt xsltproc ratio "peak ours" "peak xslt" ratio results
}

# One row: name, our seconds and peak KB, the peer's seconds and peak KB, and
# whether $work/ours.out and $work/peer.out agree; then removes both.
report_row() {
  local agree
  if [ "$(squeeze "$work/ours.out")" == "$(squeeze "$work/peer.out")" ]; then agree=same; else agree=differ; fi
  awk -v n="$1" -v os="$2" -v ok="$3" -v ps="$4" -v pk="$5" -v a="$agree" 'BEGIN {
    printf "%-9s %8.2fs %8.2fs %7.2f %9.1fM %9.1fM %7.2f  %s\n", n, os, ps, (ps > 0 ? os / ps : 0),
      ok / 1024, pk / 1024, (pk > 0 ? ok / pk : 0), a
  }'
  rm -f "$work/ours.out" "$work/peer.out"
}
