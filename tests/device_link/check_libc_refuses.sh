#!/bin/sh
# check_libc_refuses.sh CHECK NM TABLE LIST OBJECT
# The bionic check on tests/device_link/libc_probe.cpp: it must fail, naming
# exactly fopencookie, stdout and malloc_trim, each with the file, and take
# glibc's renamings of the other calls.
set -u
check=$1
shift
out=$("$check" "$@" 2>&1) && { echo "check_libc_refuses: the check passed the probe: $out" >&2; exit 1; }
echo "$out"
for name in fopencookie stdout malloc_trim; do
    echo "$out" | grep -q "^check_libc: $name .*used by libc_probe.cpp.o" ||
        { echo "check_libc_refuses: $name was not refused with its file" >&2; exit 1; }
done
echo "$out" | grep -q "^check_libc: 3 of " || { echo "check_libc_refuses: more than the three refused" >&2; exit 1; }
echo "check_libc_refuses: the three calls bionic lacks are refused, the renamed ones taken"
