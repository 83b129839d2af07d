#!/usr/bin/env bash
# Each man page renders, and names every option its program's --help lists.
#   man_pages_test.sh PROGRAM PAGE [PROGRAM PAGE...]
set -uo pipefail
failures=0
while [ $# -ge 2 ]; do
  program=$1 page=$2
  shift 2
  text=$(MANWIDTH=200 man -l "$page" 2>/dev/null | col -b)
  if [ -z "$text" ]; then
    echo "FAIL: $page does not render"; failures=$((failures + 1)); continue
  fi
  options=$("$program" --help | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u)
  for option in $options; do
    grep -qF -- "$option" <<<"$text" || { echo "FAIL: $page lacks $option"; failures=$((failures + 1)); }
  done
  echo "$(basename "$page"): $(wc -w <<<"$options") options"
done
[ "$failures" -eq 0 ]
