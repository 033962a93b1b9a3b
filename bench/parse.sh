#!/bin/bash
# Parse benchmark: generates a 20 MB XML document (records with attributes,
# text, references, comments and CDATA, nested three deep), then times
# `xmlprobe parse` against `xmllint --noout` on it in the same run (best of
# three each) and prints both times, the ratio and both peak memories.
#   bench/parse.sh [build folder] [size in MB] [shape]
# Shapes: mixed (the default, as above); attributes (flat records with many
# attributes); text (text-heavy, with entity and character references and
# non-ASCII text); deep (elements nested 100 deep, each declaring namespaces);
# wrapped (the records of attributes inside one <items> element under the
# root, after a small <header>).
# Needs xmllint (libxml2-utils) and /usr/bin/time (time).
set -euo pipefail

build=${1:-build}
megabytes=${2:-20}
shape=${3:-mixed}
probe=$build/tests/tools/xmlprobe
if [ ! -x "$probe" ]; then
  echo "no $probe: build the tests first (cmake --build $build --target xmlprobe)" >&2
  exit 2
fi
for tool in xmllint /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
doc=$work/bench.xml

target=$((megabytes * 1024 * 1024))
case $shape in
mixed)
awk -v target=$target 'BEGIN {
  print "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
  print "<!DOCTYPE catalog [ <!ELEMENT catalog ANY> <!ATTLIST item id ID #REQUIRED> ]>"
  print "<catalog xmlns=\"urn:bench\">"
  size = 0
  for (i = 0; size < target; i++) {
    line = sprintf("  <item id=\"i%d\" kind=\"k%d\" price=\"%d.%02d\">\n", i, i % 17, i % 1000, i % 100) \
      sprintf("    <name lang=\"en\">Item number %d &amp; friends</name>\n", i) \
      sprintf("    <tags><tag>t%d</tag><tag>u%d</tag><tag v=\"%d\"/></tags>\n", i % 31, i % 7, i) \
      sprintf("    <text>Some text with &#233;t&#xe9; and &lt;markup&gt; inside, line %d.</text>\n", i)
    if (i % 50 == 0) line = line "    <!-- comment " i " --><![CDATA[raw <data> " i "]]>\n"
    line = line "  </item>"
    print line
    size += length(line) + 1
  }
  print "</catalog>"
}' > "$doc"
;;
attributes | wrapped)
# The same rows; wrapped puts them in <items> after a header, one level down.
awk -v target=$target -v wrapped=$([ "$shape" = wrapped ] && echo 1 || echo 0) 'BEGIN {
  print "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
  if (wrapped) {
    print "<doc>"
    print "<header><title>Rows</title><count>all</count></header>"
    print "<items>"
  } else {
    print "<table>"
  }
  size = 0
  for (i = 0; size < target; i++) {
    line = sprintf("<row id=\"r%d\" a=\"%d\" b=\"b%d\" c=\"%d.%02d\" d=\"yes\" e=\"k%d\" f=\"%d\" g=\"text %d\" h=\"x\" j=\"%d\"/>", \
      i, i % 97, i % 13, i % 1000, i % 100, i % 17, i * 7, i, i % 5)
    print line
    size += length(line) + 1
  }
  if (wrapped) {
    print "</items>"
    print "</doc>"
  } else {
    print "</table>"
  }
}' > "$doc"
;;
text)
awk -v target=$target 'BEGIN {
  print "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
  print "<!DOCTYPE book [ <!ENTITY co \"Company &amp; Co.\"> ]>"
  print "<book>"
  size = 0
  for (i = 0; size < target; i++) {
    line = sprintf("<p>Paragraph %d: na\303\257ve caf\303\251 text, \316\261\316\262\316\263 and \344\270\255\346\226\207, with &co; &#233;t&#xe9; &lt;tags&gt; &amp; more words to read through, again and again, line %d.</p>", i, i)
    print line
    size += length(line) + 1
  }
  print "</book>"
}' > "$doc"
;;
deep)
awk -v target=$target 'BEGIN {
  print "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
  print "<root xmlns=\"urn:root\">"
  size = 0
  for (i = 0; size < target; i++) {
    line = ""
    for (d = 0; d < 100; d++) line = line sprintf("<n%d:e xmlns:n%d=\"urn:n%d\" xmlns:m=\"urn:m%d\" m:a=\"%d\">", d, d, d, d, i)
    line = line "leaf"
    for (d = 99; d >= 0; d--) line = line sprintf("</n%d:e>", d)
    print line
    size += length(line) + 1
  }
  print "</root>"
}' > "$doc"
;;
*)
  echo "unknown shape $shape: mixed, attributes, text, deep or wrapped" >&2
  exit 2
;;
esac

bytes=$(stat -c %s "$doc")
measure() {  # prints "seconds peak-KB"
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" > "$work/out" 2>&1 || {
    echo "failed: $*" >&2
    cat "$work/out" >&2
    exit 1
  }
  cat "$work/time"
}
# Best of three runs each, taken in turns: the machine may be shared.
best() {  # best CURRENT-seconds CURRENT-KB NEW-seconds NEW-KB: the faster run
  awk -v a="$1" -v b="$3" -v ak="$2" -v bk="$4" 'BEGIN { if (a == "" || b < a) print b, bk; else print a, ak }'
}
probe_s=; probe_kb=; lint_s=; lint_kb=
for run in 1 2 3; do
  read -r s kb < <(measure "$probe" parse "$doc")
  read -r probe_s probe_kb < <(best "$probe_s" "$probe_kb" "$s" "$kb")
  read -r s kb < <(measure xmllint --noout "$doc")
  read -r lint_s lint_kb < <(best "$lint_s" "$lint_kb" "$s" "$kb")
done
echo "document ($shape): $bytes bytes"
"$probe" parse "$doc"
awk -v ps="$probe_s" -v pk="$probe_kb" -v ls="$lint_s" -v lk="$lint_kb" -v b="$bytes" 'BEGIN {
  printf "xmlprobe parse:  %6.2f s  peak %7.1f MB (%.1f x file)\n", ps, pk / 1024, pk * 1024 / b
  printf "xmllint --noout: %6.2f s  peak %7.1f MB (%.1f x file)\n", ls, lk / 1024, lk * 1024 / b
  printf "time ratio xmlprobe/xmllint: %.1f\n", (ls > 0 ? ps / ls : 0)
}'
