#!/usr/bin/env bash
# quillet-dump as users run it: every format against reviewed expected
# output (the sample, and records in file order with empty subfields,
# escapes and repairs), the same bytes through a file, stdin and a FIFO,
# write errors, option errors, inputs that are not ISO 2709, and every real
# file when the corpus is there.
#   dump_cli_test.sh QUILLET_DUMP SOURCE_DIR MAKE_DUMP_FIXTURE MRK2MRC [CORPUS_DIR]
set -uo pipefail
dump=$1
root=$2
make_fixture=$3
mrk2mrc=$4
corpus=${5:-}
cd "$root" || exit 1
golden=tests/golden
sample=examples/sample.mrc
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
passes=0

pass() { passes=$((passes + 1)); }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { if eval "$2"; then pass; else fail "$1"; fi; }

# run WANT NAME COMMAND...: runs the command (stdout to $work/out, stderr to
# $work/err) and compares its exit status.
run() {
  local want=$1 name=$2
  shift 2
  "$@" >"$work/out" 2>"$work/err"
  local got=$?
  if [ "$got" -eq "$want" ]; then pass; else fail "$name: exit $got, expected $want"; head -5 "$work/err"; fi
}

same() {  # same NAME EXPECTED-FILE ACTUAL-FILE
  if cmp -s "$2" "$3"; then pass; else fail "$1 differs"; diff "$2" "$3" | head -20; fi
}

# The sample: mrk is the text it was built from.
run 0 "mrk" "$dump" "$sample"
same "mrk output" examples/sample.mrk "$work/out"
run 0 "line" "$dump" --format line "$sample"
same "line output" "$golden/sample.line" "$work/out"
run 0 "json" "$dump" --format json "$sample"
same "json output" "$golden/sample.jsonl" "$work/out"
run 0 "index" "$dump" --index "$sample"
same "index output" "$golden/sample.index" "$work/out"
run 0 "check" "$dump" --check "$sample"
same "check summary" "$golden/sample.check" "$work/err"
# sample.stats was checked against counts made from sample.mrk by other code.
run 0 "stats" "$dump" --stats "$sample"
same "stats table" "$golden/sample.stats" "$work/out"
# The last sample record has no 001: a problem only for the classic interface.
run 1 "strict" "$dump" --check --strict "$sample"
check "strict report" 'grep -q "record 12 at byte 8101: classic interface: Missing field 001" "$work/err"'

# The index names bytes that dd cuts out and md5sum checks.
IFS=$'\t' read -r _ offset length _ md5 < <(sed -n 5p "$golden/sample.index")
cut=$(dd if="$sample" bs=1 skip="$offset" count="$length" 2>/dev/null | md5sum | cut -d' ' -f1)
check "index offset/length cut out the record" '[ "$cut" = "$md5" ]'

# Records in directory order, empty subfields, escapes, repairs.
"$make_fixture" "$work/edge.mrc" || fail "make_dump_fixture"
for format in mrk line json xml; do
  ext=$format
  [ "$format" = json ] && ext=jsonl
  run 1 "edge $format" "$dump" --format "$format" "$work/edge.mrc"
  same "edge $format output" "$golden/edge.$ext" "$work/out"
done
run 1 "edge index" "$dump" --index "$work/edge.mrc"
same "edge index output" "$golden/edge.index" "$work/out"
(cd "$work" && "$dump" --check edge.mrc 2>"$work/check" >/dev/null)
same "edge check report" "$golden/edge.check" "$work/check"
# Encodings: MARC-8 comes out as UTF-8 with leader/09 a; raw keeps the
# bytes; what cannot be decoded is reported only when asked for.
run 0 "raw" "$dump" --charset raw --offset 4 "$work/edge.mrc"
check "raw keeps leader/09 and the MARC-8 bytes" 'sed -n 1p "$work/out" | grep -q "^=LDR  00110nam  22" && grep -q "$(printf "Soci\\342et")" "$work/out"'
run 1 "check-encoding" "$dump" --check --check-encoding --offset 4 "$work/edge.mrc"
check "unmapped code reported" 'grep -q "record 5 at byte 568: MARC-8 code without a character: 0xAF" "$work/err"'
run 0 "nfc" "$dump" --nfc --format line --tag 245 --offset 4 "$work/edge.mrc"
check "nfc composes" 'grep -q "$(printf "Soci\\303\\251t\\303\\251")" "$work/out"'
# mrk2mrc reads what quillet-dump prints, escapes included.
"$dump" --limit 2 "$work/edge.mrc" >"$work/two.mrk" 2>/dev/null
"$mrk2mrc" "$work/two.mrk" "$work/two.mrc" && pass || fail "mrk2mrc"
head -c 343 "$work/edge.mrc" >"$work/two-original.mrc"
same "mnemonic text back to the same bytes" "$work/two-original.mrc" "$work/two.mrc"
"$mrk2mrc" <"$work/two.mrk" >"$work/two-stdin.mrc" && pass || fail "mrk2mrc on standard input"
same "mrk2mrc reads standard input and writes standard output" "$work/two-original.mrc" "$work/two-stdin.mrc"
"$mrk2mrc" "$work/two.mrk" /dev/full 2>"$work/err"
[ $? -eq 2 ] && grep -q "cannot write /dev/full" "$work/err" && pass || fail "mrk2mrc says it cannot write"
{ echo "stray"; sed 's/^=245  ../=245  1{0x1F}/' "$work/two.mrk"; } >"$work/damaged.mrk"
"$mrk2mrc" "$work/damaged.mrk" "$work/damaged.mrc" 2>"$work/err"
[ $? -eq 1 ] && grep -q "line 1, column 1" "$work/err" && [ "$("$dump" --count "$work/damaged.mrc" | cut -d' ' -f1)" = 2 ] &&
  pass || fail "mrk2mrc reports damaged text and goes on"
run 1 "quiet" "$dump" --check --quiet "$work/edge.mrc"
check "quiet says nothing" '[ ! -s "$work/err" ]'

# MARCXML: well-formed whatever the bytes (each control byte XML forbids is
# replaced and reported), valid against the schema where the records fit it.
if command -v xmllint >/dev/null; then
  xmllint --noout "$golden/edge.xml" && pass || fail "edge.xml is not well-formed"
  run 0 "xml" "$dump" --format xml "$sample"
  schema=$root/../shared/data/schemas/MARC21slim.xsd
  if [ -f "$schema" ]; then
    xmllint --noout --schema "$schema" "$work/out" 2>"$work/err" && pass || { fail "sample xml invalid"; head -3 "$work/err"; }
    # The built edge records fit the schema except for two fields that no
    # schema-valid writer could keep: a data field with no subfield and a
    # subfield whose code is empty (text before the first delimiter).
    xmllint --noout --schema "$schema" "$golden/edge.xml" 2>"$work/err"
    grep 'validity error' "$work/err" \
      | sed 's/.*: element \([a-z]*\): .*\(Missing child element\|attribute .code.\).*/\1 \2/' >"$work/errors"
    printf '%s\n' "datafield Missing child element" "subfield attribute 'code'" >"$work/expected-errors"
    same "edge xml: only the two unfit fields break the schema" "$work/expected-errors" "$work/errors"
  fi
  printf '00041nam a2200037 a 4500001000200000\036\001\036\035' >"$work/control.mrc"
  run 1 "xml control byte" "$dump" --format xml "$work/control.mrc"
  xmllint --noout "$work/out" && pass || fail "xml with a control byte is not well-formed"
  check "xml control byte reported" 'grep -q "1 character that XML does not allow replaced with U+FFFD" "$work/err"'
fi

# ISO 2709 out: untouched records byte for byte; repaired and converted ones
# written anew, and reading them again gives the same fields.
run 0 "marc" "$dump" --format marc "$sample"
same "marc output of untouched records" "$sample" "$work/out"
run 1 "marc rebuilt" "$dump" --format marc "$work/edge.mrc"
cp "$work/out" "$work/rebuilt.mrc"
"$dump" --format json "$work/edge.mrc" 2>/dev/null | sed 's/"leader":"[^"]*",//' >"$work/before"
"$dump" --format json "$work/rebuilt.mrc" 2>/dev/null | sed 's/"leader":"[^"]*",//' >"$work/after"
same "rebuilt records read back" "$work/before" "$work/after"
run 1 "rebuilt records check" "$dump" --check "$work/rebuilt.mrc"
check "only the fields' own damage is left" '[ "$(grep -c "record" "$work/err")" = 3 ] && grep -q "5 records read, 1 with problems$" "$work/err"'
# Converted to UTF-8, indicators and codes that are not ASCII are replaced
# and reported, and the record left with no field by -t reads back through
# the classic interface.
printf '00044nam  2200037   4500245000600000\036\341\342\037\343x\036\035' >"$work/marc8.mrc"
run 1 "marc of bytes that are no UTF-8" "$dump" --format marc "$work/marc8.mrc"
check "replaced and reported" 'grep -q "3 bytes of the leader, indicators or subfield codes that are no UTF-8 replaced" "$work/err" && [ "$(tail -c 7 "$work/out" | head -c 5)" = "  $(printf "\037")?x" ]'
run 0 "marc of no field" "$dump" --format marc --tag 100 "$work/marc8.mrc"
cp "$work/out" "$work/nofield.mrc"
run 1 "no field through the classic interface" "$dump" --check --strict --charset raw "$work/nofield.mrc"
check "no field read by the classic interface" '! grep -q "Invalid base offset" "$work/err" && grep -q "Missing field 001" "$work/err"'

# The same bytes from a file, from stdin and through a FIFO: the same
# output, problems and exit code.
for args in "--format json" "--check" "--index"; do
  run 1 "file $args" "$dump" $args "$work/edge.mrc"
  sed "s#$work/edge.mrc#INPUT#" "$work/out" >"$work/file.out"; sed "s#$work/edge.mrc#INPUT#" "$work/err" >"$work/file.err"
  run 1 "stdin $args" sh -c "\"$dump\" $args - <\"$work/edge.mrc\""
  sed "s#^-:#INPUT:#" "$work/out" >"$work/stdin.out"; sed "s#^-:#INPUT:#" "$work/err" >"$work/stdin.err"
  same "stdin output ($args)" "$work/file.out" "$work/stdin.out"
  same "stdin problems ($args)" "$work/file.err" "$work/stdin.err"
  rm -f "$work/fifo"; mkfifo "$work/fifo"
  cat "$work/edge.mrc" >"$work/fifo" &
  run 1 "fifo $args" "$dump" $args "$work/fifo"
  wait
  sed "s#$work/fifo#INPUT#" "$work/out" >"$work/fifo.out"; sed "s#$work/fifo#INPUT#" "$work/err" >"$work/fifo.err"
  same "fifo output ($args)" "$work/file.out" "$work/fifo.out"
  same "fifo problems ($args)" "$work/file.err" "$work/fifo.err"
done

# Counting honours --offset and --limit as printing does.
run 0 "count" "$dump" --count "$sample" "$sample"
printf '12 %s\n12 %s\n24 total\n' "$sample" "$sample" >"$work/want"
same "count output" "$work/want" "$work/out"
for sel in "--offset 5:7" "--offset 5 --limit 3:3" "--limit 3:3" "--offset 20:0"; do
  run 0 "count ${sel%:*}" "$dump" --count ${sel%:*} "$sample"
  check "count ${sel%:*} is ${sel#*:}" '[ "$(cut -d" " -f1 "$work/out")" = "${sel#*:}" ]'
done
run 0 "offset/limit" "$dump" --index --offset 3 --limit 2 "$sample"
check "offset/limit picks records 4 and 5" '[ "$(cut -f1 "$work/out" | tr "\n" " ")" = "4 5 " ]'
run 0 "several files" "$dump" --index --limit 1 "$sample" "$sample"
check "index file column" '[ "$(cut -f1,2 "$work/out" | tr "\t\n" ": ")" = "$sample:1 $sample:1 " ]'

# Selecting records: --where conditions (all must hold), --ids; --offset
# and --limit then count the selected records.
run 0 "where 001" "$dump" --index --where 001=100000003 "$sample"
check "where 001 keeps record 3" '[ "$(cut -f1,4 "$work/out" | tr "\t" :)" = "3:100000003" ]'
run 0 "where subfield" "$dump" --index --where '6XX$x~History' "$sample"
check "where subfield keeps 1 2 11" '[ "$(cut -f1 "$work/out" | tr "\n" " ")" = "1 2 11 " ]'
run 0 "where all" "$dump" --index --where '6XX$x~History' --where '050$a~GA' "$sample"
check "where all must hold" '[ "$(cut -f1 "$work/out" | tr "\n" " ")" = "1 " ]'
run 0 "where then offset" "$dump" --index --where '6XX$x~History' --offset 1 --limit 1 "$sample"
check "offset and limit count the records kept" '[ "$(cut -f1 "$work/out" | tr "\n" " ")" = "2 " ]'
printf '100000007\r\nnot-there\n100000005\n' >"$work/ids"
run 0 "ids" "$dump" --index --ids "$work/ids" "$sample"
check "ids keep 5 and 7 in file order" '[ "$(cut -f1 "$work/out" | tr "\n" " ")" = "5 7 " ]'
run 2 "bad where" "$dump" --where 245x "$sample"
check "bad where message" 'grep -q "expected ?, = or ~ after 245" "$work/err"'

# Splitting: pieces of N records or of at most SIZE bytes, each a whole file
# of its format; existing pieces are kept unless --force.
run 0 "split" "$dump" --split 5 -s "$work/piece" --format xml "$sample"
check "split makes 3 pieces" '[ "$(ls "$work"/piece-0000?.xml | wc -l)" = 3 ]'
if command -v xmllint >/dev/null; then
  xmllint --noout "$work/piece-00003.xml" && pass || fail "the last piece is not well-formed"
fi
run 2 "split keeps files" "$dump" --split 5 -s "$work/piece" --format xml "$sample"
check "split says why" 'grep -q "piece-00001.xml: File exists (--force overwrites)" "$work/err"'
run 0 "split force" "$dump" --split 5 -s "$work/piece" --format xml --force "$sample"
run 0 "split size" "$dump" --split-size 2K --output "$work/sized" --format marc "$sample"
cat "$work"/sized-*.mrc >"$work/joined.mrc"
same "pieces joined" "$sample" "$work/joined.mrc"
check "pieces within 2K" '[ -z "$(find "$work" -name "sized-*" -size +2048c)" ]'
run 2 "split without -o" "$dump" --split 5 "$sample"

# Tag patterns.
run 1 "tag pattern" "$dump" --format line --tag 6XX --tag 001 "$work/edge.mrc"
check "6XX keeps directory order" '[ "$(sed -n 2,4p "$work/out" | cut -c1-3 | tr "\n" " ")" = "001 650 630 " ]'
run 2 "tag that matches nothing" "$dump" --tag 24 "$sample"
check "tag message" 'grep -q "can match no tag" "$work/err"'

# Write errors end the run with a message and exit 2.
if [ -w /dev/full ]; then
  "$dump" "$sample" >/dev/full 2>"$work/err"
  check "/dev/full exits 2" '[ $? -eq 2 ]'
  check "/dev/full message" 'grep -q "cannot write output" "$work/err"'
fi
big=$work/big.mrc
for _ in $(seq 200); do cat "$sample"; done >"$big"
status=$( (trap '' PIPE; "$dump" "$big" 2>"$work/err"; echo $? >"$work/status") | head -1 >/dev/null; cat "$work/status")
check "closed pipe with SIGPIPE ignored exits 2" '[ "$status" = 2 ] && grep -q "cannot write output" "$work/err"'
for mode in "" "--format json" "--index" "-j 2"; do
  # shellcheck disable=SC2086
  status=$( ("$dump" $mode "$big" 2>"$work/err"; echo $? >"$work/status") | head -1 >/dev/null; cat "$work/status")
  check "closed pipe exits 2 ($mode)" '[ "$status" = 2 ] && grep -q "cannot write output: Broken pipe" "$work/err"'
done

# Problems are reported up to --max-problems per record, then counted.
{ echo "=LDR  00000nam a2200000   4500"; for _ in $(seq 30); do echo "=500  10"; done; } |
  "$mrk2mrc" >"$work/many.mrc"  # 30 data fields without a subfield
run 1 "many problems" "$dump" --check "$work/many.mrc"
check "20 problems, then a count" '[ "$(grep -c "record 1 at" "$work/err")" = 21 ] && grep -q "more problems in this record" "$work/err"'
run 1 "every problem" "$dump" --check --max-problems 0 "$work/many.mrc"
check "no count with --max-problems 0" '! grep -q "more problems" "$work/err"'

# MARC-8 out and back: the same text.
run 0 "to MARC-8" "$dump" -f marc --to-charset marc8 "$sample"
cp "$work/out" "$work/marc8.mrc"
check "leader/09 blank" '[ "$(head -c 10 "$work/marc8.mrc" | tail -c 1)" = " " ]'
run 0 "MARC-8 back to UTF-8" "$dump" -f json --nfc "$work/marc8.mrc"
# The same text; only the record lengths differ.
sed 's/"leader":"...../"leader":"/' "$work/out" >"$work/back.jsonl"
sed 's/"leader":"...../"leader":"/' "$golden/sample.jsonl" >"$work/want.jsonl"
same "MARC-8 round trip" "$work/want.jsonl" "$work/back.jsonl"

# Read as ISO 2709 (-i marc), inputs of other formats are named, not parsed.
printf '<?xml version="1.0"?>\n<collection/>\n' >"$work/x.xml"
printf '=LDR  00000nam a2200000 a 4500\n' >"$work/x.mrk"
printf '{"leader": "x"}\n' >"$work/x.json"
for kind in "x.xml:MARCXML" "x.mrk:mnemonic" "x.json:JSON"; do
  run 2 "${kind%:*}" "$dump" -i marc --count "$work/${kind%:*}"
  check "${kind%:*} is called ${kind#*:}" 'grep -q "looks like ${kind#*:}" "$work/err"'
done

# The examples of the usage guide's "Coming from yaz-marcdump", as written.
(
  cd "$work" || exit 1
  ln -sf "$root/examples" examples
  sed -n '/^### Coming from yaz-marcdump/,/^### /p' "$root/docs/usage.md" |
    sed -n '/^```sh$/,/^```$/p' | grep '^quillet-dump ' | sed "s|^quillet-dump |\"$dump\" |" >yaz.sh
  [ "$(wc -l <yaz.sh)" -ge 5 ] && bash -e yaz.sh 2>yaz.err
) && pass || fail "the yaz-marcdump examples run"
check "their output" '[ -s "$work/sample.xml" ] && cmp -s "$work/sample.mrc" "$sample" && [ -s "$work/piece-00003.mrc" ]'

# The edge records written in each text format and read back: the same
# fields as the reviewed mnemonic text (leaders aside: repaired records get
# their lengths computed anew).
grep -v '^=LDR' "$golden/edge.mrk" >"$work/edge-fields.mrk"
for fmt in mrk json xml; do
  "$dump" -q -o "$fmt" "$work/edge.mrc" >"$work/edge.$fmt"
  run 1 "edge records read from $fmt (their damage reported)" "$dump" -q -i "$fmt" -o mrk "$work/edge.$fmt"
  grep -v '^=LDR' "$work/out" >"$work/edge-back.mrk"
  same "edge records through $fmt" "$work/edge-fields.mrk" "$work/edge-back.mrk"
done

# Junk that looks like text before ISO 2709 records: read as the records.
{ printf '[junk'; cat "$sample"; } >"$work/junk.mrc"
run 0 "junk like JSON before records" "$dump" --count "$work/junk.mrc"
check "the records after it counted" '[ "$(cat "$work/out")" = "12 $work/junk.mrc" ]'

# Input in which no record is found is one error, whatever the mode.
printf 'root:x:0:0:root:/root:/bin/bash\n' >"$work/passwd"
for mode in --count --check "-j 2 --check" "--format json"; do
  # shellcheck disable=SC2086
  run 2 "no record ($mode)" "$dump" $mode "$work/passwd"
  check "no record found ($mode)" 'grep -q "passwd: no ISO 2709 record found (it starts with \"root:x:0:0:root:...\")" "$work/err"'
done
run 0 "an empty input holds no record and is no error" sh -c "\"$dump\" --count - </dev/null"

# Mnemonic text is read (told from its first bytes, or -i mrk), from a file
# or a pipe, on one thread or two: the records it was made from.
run 0 "mrk in, marc out" "$dump" -f marc examples/sample.mrk
same "mrk read back to the sample" "$sample" "$work/out"
run 0 "mrk on stdin, -j 2" sh -c "\"$dump\" -i MRK -j 2 -f json - <examples/sample.mrk"
same "mrk to json" "$golden/sample.jsonl" "$work/out"
run 2 "unknown input format" "$dump" -i csv "$sample"
check "unknown input format named" 'grep -q "unknown input format \"csv\"" "$work/err"'

# Gzip input, one member or several (as cat makes them), by file and stdin;
# cut short, it is an error after what was read.
gzip -c "$sample" >"$work/one.gz"
cat "$work/one.gz" "$work/one.gz" >"$work/two.gz"
run 0 "gzip" "$dump" --format line "$work/one.gz"
same "gzip output" "$golden/sample.line" "$work/out"
run 0 "gzip members" sh -c "\"$dump\" --count - <\"$work/two.gz\""
check "gzip members counted" '[ "$(cat "$work/out")" = "24 -" ]'
head -c 3000 "$work/one.gz" >"$work/cut.gz"
run 2 "gzip cut short" "$dump" --count "$work/cut.gz"
check "gzip cut short message" 'grep -q "^quillet-dump: .*read error: gzip data ends inside a member" "$work/err"'
run 2 "a directory" "$dump" --count "$work"
check "a directory is a read error, said by the tool" 'grep -q "^quillet-dump: $work: read error: Is a directory" "$work/err"'

# Usage errors, unreadable input.
run 2 "two modes" "$dump" --count --check "$sample"
run 2 "limit not a number" "$dump" --limit 3x "$sample"
check "limit message" 'grep -qx "quillet-dump: --limit must be a whole number from 0" "$work/err"'
run 2 "limit past 2^64" "$dump" --limit 18446744073709551616 "$sample"
run 0 "limit 2^64 - 1" "$dump" --count --limit 18446744073709551615 "$sample"
run 2 "missing file" "$dump" "$work/does-not-exist.mrc"
check "missing file message" 'grep -q "cannot open $work/does-not-exist.mrc: No such file or directory" "$work/err"'
run 2 "stdin is a directory" sh -c "\"$dump\" --count - <\"$work\""
run 2 "stdin closed" sh -c "\"$dump\" --count - <&-"
run 0 "version" "$dump" --version
check "version text" 'grep -q "^quillet-dump [0-9]" "$work/out"'

# Several threads write what one writes, problems included.
for args in "--format json" "--check --strict --check-encoding" "--format marc" "--index --offset 1 --limit 3"; do
  "$dump" $args -j 1 "$work/edge.mrc" >"$work/j1.out" 2>"$work/j1.err"
  "$dump" $args -j 3 "$work/edge.mrc" >"$work/j3.out" 2>"$work/j3.err"
  same "-j 3 output ($args)" "$work/j1.out" "$work/j3.out"
  same "-j 3 problems ($args)" "$work/j1.err" "$work/j3.err"
done

# Every real file: clean or reported, never worse, JSON and mrk UTF-8;
# the same from stdin and on two threads.
if [ -n "$corpus" ] && [ -d "$corpus" ]; then
  while IFS= read -r -d '' f; do
    "$dump" --format json "$f" >"$work/out" 2>"$work/err"
    status=$?
    if [ "$status" -gt 1 ] && ! grep -q "looks like\|no ISO 2709 record found" "$work/err"; then
      fail "$f exited $status"; tail -3 "$work/err"; continue
    fi
    # JSON and mnemonic text are UTF-8 whatever the bytes of the record.
    "$dump" "$f" >"$work/mrk" 2>/dev/null
    if iconv -f UTF-8 -t UTF-8 "$work/out" >/dev/null 2>&1 && iconv -f UTF-8 -t UTF-8 "$work/mrk" >/dev/null 2>&1; then
      pass
    else
      fail "$f: JSON or mrk not UTF-8"
    fi
    "$dump" --format json - <"$f" >"$work/out2" 2>/dev/null
    if [ $? -ne "$status" ] || ! cmp -s "$work/out" "$work/out2"; then fail "$f differs on stdin"; else pass; fi
    "$dump" --format json -j 1 "$f" >"$work/j1.out" 2>"$work/j1.err"
    "$dump" --format json -j 2 "$f" >"$work/j2.out" 2>"$work/j2.err"
    if cmp -s "$work/j1.out" "$work/j2.out" && cmp -s "$work/j1.err" "$work/j2.err"; then pass; else fail "$f differs on two threads"; fi
  done < <(find "$corpus" -type f ! -name '*.md' ! -name '*.tsv' -print0)
else
  echo "no corpus folder: the real-file checks are skipped"
fi

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
