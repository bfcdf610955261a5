#!/bin/sh
# check_symbols.sh NM BINARY LIST
# The symbols BINARY leaves undefined, less those of the C library, the C++
# runtime (both versioned) and cJSON, must be exactly the platform symbols
# of LIST (one demangled name a line; '#' starts a comment).
set -eu
nm=$1 binary=$2 list=$3
[ -x "$binary" ] || { echo "check_symbols: no binary at $binary" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$nm" -D -C --undefined-only "$binary" >"$work/nm" \
    || { echo "check_symbols: $nm cannot read $binary" >&2; exit 1; }
# Lines are "U name" (weak references, "w", are optional by definition).
sed -n 's/^ *U //p' "$work/nm" | grep -v '@' | grep -v '^cJSON_' | LC_ALL=C sort -u >"$work/found"
sed -e 's/#.*//' -e 's/[[:space:]]*$//' "$list" | grep -v '^$' | LC_ALL=C sort -u >"$work/expected"

if ! diff -u "$work/expected" "$work/found" >"$work/diff"; then
    echo "check_symbols: the platform symbols left undefined differ from $list" >&2
    echo "(lines with - are listed but not used, lines with + are used but not listed)" >&2
    tail -n +3 "$work/diff" | grep '^[-+]' >&2
    exit 1
fi
echo "check_symbols: $(wc -l <"$work/found") platform symbols, as listed"
