#!/usr/bin/env bash
# quillet-dump as users run it: every format on the sample against the
# reviewed expected output, the modes, stdin, exit codes, and --check over
# the real corpus when it is there.
set -uo pipefail
dump=$1
root=$2
corpus=${3:-}
cd "$root" || exit 1
golden=tests/golden
sample=examples/sample.mrc
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
passes=0

pass() { passes=$((passes + 1)); }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect_status WANT NAME -- COMMAND...: runs the command, compares its status.
expect_status() {
  local want=$1 name=$2
  shift 3
  "$@" >"$work/out" 2>"$work/err"
  local got=$?
  if [ "$got" -eq "$want" ]; then pass; else fail "$name: exit $got, expected $want"; cat "$work/err"; fi
}

same() {  # same NAME EXPECTED-FILE ACTUAL-FILE
  if cmp -s "$2" "$3"; then pass; else fail "$1 differs"; diff "$2" "$3" | head -20; fi
}

expect_status 0 "mrk" -- "$dump" "$sample"
same "mrk output" examples/sample.mrk "$work/out"
expect_status 0 "line" -- "$dump" --format line "$sample"
same "line output" "$golden/sample.line" "$work/out"
expect_status 0 "json" -- "$dump" --format json "$sample"
same "json output" "$golden/sample.jsonl" "$work/out"
expect_status 0 "index" -- "$dump" --index "$sample"
same "index output" "$golden/sample.index" "$work/out"
expect_status 1 "check" -- "$dump" --check "$sample"
same "check report" "$golden/sample.check" "$work/err"

# The index names bytes that dd can cut out and md5sum can check.
line=$(sed -n 5p "$golden/sample.index")
IFS=$'\t' read -r _ offset length _ md5 <<<"$line"
cut=$(dd if="$sample" bs=1 skip="$offset" count="$length" 2>/dev/null | md5sum | cut -d' ' -f1)
[ "$cut" = "$md5" ] && pass || fail "index offset/length do not cut out the record"

# Counts, several files, stdin.
expect_status 0 "count" -- "$dump" --count "$sample" "$sample"
printf '12 %s\n12 %s\n24 total\n' "$sample" "$sample" >"$work/want"
same "count output" "$work/want" "$work/out"
expect_status 0 "stdin" -- sh -c "\"$dump\" --format line <\"$sample\""
same "stdin output" "$golden/sample.line" "$work/out"
expect_status 0 "stdin dash" -- sh -c "cat \"$sample\" | \"$dump\" --count -"
[ "$(cat "$work/out")" = "12 -" ] && pass || fail "stdin count: $(cat "$work/out")"

# Selection.
expect_status 0 "offset/limit" -- "$dump" --index --offset 3 --limit 2 "$sample"
[ "$(cut -f1 "$work/out" | tr '\n' ' ')" = "4 5 " ] && pass || fail "offset/limit picked $(cut -f1 "$work/out")"
expect_status 0 "tag" -- "$dump" --format line --tag 245 -t 001 --limit 1 "$sample"
[ "$(sed -n 2,3p "$work/out" | cut -c1-3 | tr '\n' ' ')" = "001 245 " ] && pass || fail "tag selection"

# A bad length in the middle of a file: reported, later records still read.
{ head -c 917 "$sample"; printf '00x17'; tail -c +923 "$sample" | head -c 880; tail -c +1803 "$sample"; } >"$work/broken.mrc"
expect_status 1 "broken file" -- "$dump" --check "$work/broken.mrc"
grep -q "^$work/broken.mrc: record 2 at byte 917: BytesToInt Error$" "$work/err" && pass || fail "broken report: $(cat "$work/err")"
[ "$(tail -1 "$work/err")" = "quillet-dump: 11 records read, 2 with errors, 885 bytes skipped" ] && pass || fail "broken summary: $(tail -1 "$work/err")"
expect_status 1 "broken file printed" -- "$dump" --format line --tag 001 "$work/broken.mrc"
[ "$(grep -c '^001 ' "$work/out")" = 10 ] && pass || fail "records after the bad length not printed"

# Usage errors and unreadable files.
expect_status 2 "unknown option" -- "$dump" --frobnicate "$sample"
expect_status 2 "bad format" -- "$dump" --format xml "$sample"
expect_status 2 "bad tag" -- "$dump" --tag 24 "$sample"
expect_status 2 "two modes" -- "$dump" --count --check "$sample"
expect_status 2 "missing file" -- "$dump" "$work/does-not-exist.mrc"
grep -q "cannot open $work/does-not-exist.mrc: No such file or directory" "$work/err" && pass || fail "missing file message"
expect_status 0 "help" -- "$dump" --help
expect_status 0 "version" -- "$dump" --version
grep -q "^quillet-dump [0-9]" "$work/out" && pass || fail "version text"

# Every real file: reported or clean, never a crash.
if [ -n "$corpus" ] && [ -d "$corpus" ]; then
  while IFS= read -r -d '' f; do
    "$dump" --check "$f" >/dev/null 2>"$work/err"
    status=$?
    if [ "$status" -gt 1 ]; then fail "--check $f exited $status"; tail -3 "$work/err"; else pass; fi
  done < <(find "$corpus" -type f ! -name '*.md' ! -name '*.tsv' -print0)
else
  echo "no corpus folder: the real-file check is skipped"
fi

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
