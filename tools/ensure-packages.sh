#!/usr/bin/env bash
# Installs the Debian packages named in the given list files, but only those
# that are missing; apt-get update runs once, and only when something is missing.
set -euo pipefail
missing=()
for list in "$@"; do
  while read -r pkg _; do
    [[ -z "$pkg" || "$pkg" == \#* ]] && continue
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done < "$list"
done
if (( ${#missing[@]} )); then
  echo "Installing missing packages: ${missing[*]}" >&2
  if [[ $(id -u) -ne 0 ]]; then
    echo "Not root: install these packages first: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >&2
  apt-get install -y -qq "${missing[@]}" >&2
fi
