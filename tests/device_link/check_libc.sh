#!/bin/sh
# check_libc.sh NM TABLE LEVEL PLATFORM_LIST OBJECT...
# Every C-library symbol the device build's objects (object files, static
# libraries, and directories of object files) import must be in Android's C
# library for 32-bit ARM at API level LEVEL: TABLE lists each symbol
# bionic's libc, libm and libdl export, with the first level that has it.
# CHECK_LIBC_LIST=1 also prints each symbol with its level.
#
# Not C-library symbols, so not checked: what the objects define among
# themselves, cJSON, the platform interfaces of PLATFORM_LIST, C++ names
# (the C++ runtime and the C++ platform interfaces) and the compiler's own
# runtime (__aeabi_*, __gxx_personality_v0, __cxa_end_cleanup,
# _GLOBAL_OFFSET_TABLE_).
#
# The objects are compiled against glibc here, whose headers rename a few
# calls. Each is checked under the name bionic gives it:
#   __isoc99_NAME            -> NAME      (C99 scanf family)
#   NAME64, for NAME in TABLE -> NAME     (large-file names; the Android
#                                          build leaves _FILE_OFFSET_BITS unset)
#   __errno_location         -> __errno
#   __ctype_b_loc and friends -> _ctype_  (the is*() character classes)
#   __NAME_chk not in TABLE  -> NAME      (fortified calls)
#   bcmp                     -> memcmp    (clang's stand-in for memcmp() == 0
#                                          on glibc; not emitted for Android)
set -eu
[ $# -ge 5 ] || { echo "usage: check_libc.sh NM TABLE LEVEL PLATFORM_LIST OBJECT..." >&2; exit 2; }
nm=$1 table=$2 level=$3 platform=$4
shift 4
[ -r "$table" ] || { echo "check_libc: cannot read the symbol table $table" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# "file symbol" for every undefined symbol, the file being an object's or an
# archive member's base name.
for arg in "$@"; do
    if [ -d "$arg" ]; then
        find "$arg" -name '*.o' | LC_ALL=C sort
    else
        echo "$arg"
    fi
done >"$work/files"
[ -s "$work/files" ] || { echo "check_libc: no objects in $*" >&2; exit 1; }
while read -r f; do
    [ -r "$f" ] || { echo "check_libc: no object at $f" >&2; exit 1; }
    "$nm" -A -u "$f" >>"$work/undefined" 2>/dev/null || { echo "check_libc: $nm cannot read $f" >&2; exit 1; }
    "$nm" --defined-only "$f" 2>/dev/null | awk 'NF >= 3 { print $3 }' >>"$work/defined"
done <"$work/files"
sed -e 's/#.*//' -e 's/[[:space:]]*$//' "$platform" | grep -v '^$' | grep -v '[(:]' >"$work/platform" || true

awk -v level="$level" -v tablefile="$table" -v definedfile="$work/defined" -v platformfile="$work/platform" '
BEGIN {
    FS = "\t"
    while ((getline line < tablefile) > 0) {
        if (line ~ /^#/) continue
        split(line, f, "\t")
        if (f[2] == "libc" || f[2] == "libm" || f[2] == "libdl") api[f[1]] = f[3] + 0
    }
    while ((getline s < definedfile) > 0) skip[s] = 1
    while ((getline s < platformfile) > 0) skip[s] = 1
    FS = " "
    failed = 0; checked = 0
}
{
    sym = $NF
    file = $1
    sub(/:$/, "", file); n = split(file, parts, ":"); file = parts[n]; sub(/.*\//, "", file)
    if (sym in skip || sym ~ /^_Z/ || sym ~ /^cJSON_/ || sym ~ /^__aeabi_/) next
    if (sym == "__gxx_personality_v0" || sym == "__cxa_end_cleanup" || sym == "_GLOBAL_OFFSET_TABLE_") next
    name = sym
    if (name ~ /^__isoc99_/) name = substr(name, 10)
    else if (name == "__errno_location") name = "__errno"
    else if (name == "bcmp") name = "memcmp"
    else if (name ~ /^__ctype_(b|tolower|toupper)_loc$/) name = "_ctype_"
    else if (name ~ /64$/ && (substr(name, 1, length(name) - 2) in api)) name = substr(name, 1, length(name) - 2)
    else if (name ~ /^__.*_chk$/ && !(name in api)) name = substr(name, 3, length(name) - 6)
    if (!((sym, name) in seen)) { seen[sym, name] = 1; users[sym] = "" }
    if (index(" " users[sym] " ", " " file " ") == 0) users[sym] = users[sym] (users[sym] == "" ? "" : " ") file
    bionic[sym] = name
}
END {
    for (sym in bionic) {
        name = bionic[sym]; checked++
        shown = (name == sym) ? sym : sym " (bionic: " name ")"
        if (!(name in api)) {
            printf "check_libc: %s is not in bionic at any API level; used by %s\n", shown, users[sym]
            failed++
        } else if (api[name] > level) {
            printf "check_libc: %s needs API level %d, the device build targets %d; used by %s\n", shown, api[name], level, users[sym]
            failed++
        } else {
            printf "%s\t%d\n", name, api[name] > "/dev/stderr"
        }
    }
    if (failed) { printf "check_libc: %d of %d C-library symbols are not in bionic at level %d\n", failed, checked, level; exit 1 }
    printf "check_libc: all %d C-library symbols are in bionic at level %d\n", checked, level
}' "$work/undefined" 2>"$work/levels" || status=$?
if [ "${CHECK_LIBC_LIST:-0}" = 1 ]; then
    LC_ALL=C sort "$work/levels"
fi
exit "${status:-0}"
