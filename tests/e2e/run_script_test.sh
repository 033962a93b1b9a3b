#!/usr/bin/env bash
# ./run on a copy of the repository's layout whose package check, build tool
# and program only record that they ran: a program newer than its sources
# runs at once (no package check, no build); a changed source, or no program
# yet, is built first, and the build says so on standard error while standard
# output stays the program's.
#
# usage: run_script_test.sh RUN_SCRIPT
set -euo pipefail
script=$1
top=$(mktemp -d)
trap 'rm -rf "$top"' EXIT

mkdir -p "$top/src/app" "$top/resources" "$top/cmake" "$top/tools" "$top/bin" "$top/build/src/app"
cp "$script" "$top/run"
touch "$top/CMakeLists.txt" "$top/src/app/main.cpp" "$top/tools/packages-build.txt"
cat > "$top/tools/ensure-packages.sh" <<'EOF'
echo "package check" >> "$(dirname "$0")/../calls"
EOF
# The build tool: a configure step is recorded; a build makes the program.
cat > "$top/bin/cmake" <<EOF
#!/usr/bin/env bash
echo "cmake \$1" >> "$top/calls"
if [[ "\$1" == --build ]]; then
  printf '#!/bin/sh\necho "program \$*"\n' > "$top/build/src/app/ostxslt"
  chmod +x "$top/build/src/app/ostxslt"
fi
EOF
chmod +x "$top/bin/cmake"
export PATH="$top/bin:$PATH"

fail=0
# Runs ./run with two arguments and compares what it printed and called.
check() {
  local name=$1 expected_calls=$2 expected_err=$3
  rm -f "$top/calls"
  local out err calls
  out=$("$top/run" -xml 'a b.xml' 2> "$top/err")
  err=$(cat "$top/err")
  calls=$(cat "$top/calls" 2>/dev/null || true)
  if [[ "$out" != "program -xml a b.xml" ]]; then
    echo "$name: standard output was: $out" >&2; fail=1
  fi
  if [[ "$calls" != "$expected_calls" ]]; then
    echo "$name: calls were:"$'\n'"$calls"$'\n'"expected:"$'\n'"$expected_calls" >&2; fail=1
  fi
  if [[ "$err" != "$expected_err" ]]; then
    echo "$name: standard error was:"$'\n'"$err"$'\n'"expected:"$'\n'"$expected_err" >&2; fail=1
  fi
}

# No program yet: configured and built, with a word on standard error first.
check "first build" $'package check\ncmake -S\ncmake --build' \
  $'Building ostxslt (the first build takes a few minutes)...\nBuild done.'

# Sources older than the program: it runs at once.
find "$top/src" "$top/resources" "$top/cmake" "$top/tools" "$top/CMakeLists.txt" -exec touch -d '2001-01-01' {} +
touch -d '2002-01-01' "$top/build/src/app/ostxslt"
touch "$top/build/CMakeCache.txt"
check "nothing changed" "" ""

# A source newer than the program: rebuilt (already configured), then run;
# the next run starts at once again.
touch -d '2003-01-01' "$top/src/app/main.cpp"
check "a source changed" $'package check\ncmake --build' \
  $'Sources changed since the last build: rebuilding ostxslt...\nBuild done.'
check "nothing changed since the rebuild" "" ""

# A change to a file the program is not built from does not rebuild it.
mkdir -p "$top/tests" && touch "$top/tests/new_test.cpp"
check "a test changed" "" ""

exit $fail
