#!/usr/bin/env bash
# The shared library's dynamic symbol table holds the quillet classes only:
# no internal routine and no standard-library instantiation.
set -euo pipefail
lib=$1
symbols=$(nm -D --defined-only -C "$lib" | cut -d' ' -f3-)
status=0
foreign=$(grep -v -E '^(quillet::|typeinfo for quillet::|typeinfo name for quillet::|vtable for quillet::)' <<<"$symbols" || true)
if [ -n "$foreign" ]; then
  echo "exported symbols outside quillet::"; echo "$foreign"; status=1
fi
if grep -q BytesToInt <<<"$symbols"; then
  echo "BytesToInt is exported"; status=1
fi
for needed in 'typeinfo for quillet::MrcException' 'quillet::Record::readRec(std::istream&, quillet::Record&)'; do
  if ! grep -qxF "$needed" <<<"$symbols"; then
    echo "missing export: $needed"; status=1
  fi
done
# Initial-exec TLS marks the library STATIC_TLS, and dlopen may then fail.
if readelf -d "$lib" | grep -q STATIC_TLS; then
  echo "the library uses static TLS, which dlopen may refuse"; status=1
fi
[ $status -eq 0 ] && echo "$(wc -l <<<"$symbols") exported symbols, all in quillet::"
exit $status
