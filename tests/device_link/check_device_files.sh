#!/bin/sh
# check_device_files.sh SOURCE_DIR
# What can be checked here of the files a firmware team integrates:
# - docs/device.md lists every log tag the server and its modules write;
# - device/kal_server.rc starts /system/bin/kal_server with the SETUID and
#   SETGID capabilities that replies with the sender's identity need, and
#   the SELinux sketch allows every capability the service is given;
# - every rule of the SELinux sketch comes with a comment saying why.
set -eu
src=$1
rc=$src/device/kal_server.rc te=$src/device/kal_server.te doc=$src/docs/device.md
status=0
bad() { echo "check_device_files: $*" >&2; status=1; }

tags=$(cat "$src"/server/*.cpp "$src"/modules/*/*.cpp "$src"/modules/*/*.h |
    sed -n -E -e 's/.*(kTag|kWlanTag)\[\] = "([^"]+)".*/\2/p' \
              -e 's/.*#define [A-Z_]*TAG "([^"]+)".*/\1/p' \
              -e 's/.*__android_log(_buf)?_print\(([A-Z_]+, )?ANDROID_LOG_[A-Z]+, "([^"]+)".*/\3/p' | sort -u)
[ -n "$tags" ] || bad "found no log tags in the sources"
for tag in $tags; do
    grep -q "\`$tag\`" "$doc" || bad "log tag $tag is written but not listed in docs/device.md"
done

grep -q '^service kal_server /system/bin/kal_server$' "$rc" || bad "$rc: no 'service kal_server /system/bin/kal_server'"
caps=$(sed -n 's/^ *capabilities //p' "$rc")
for needed in SETUID SETGID; do
    echo " $caps " | grep -q " $needed " || bad "$rc: the service lacks capability $needed (replies with the sender's identity)"
done
for cap in $caps; do
    lower=$(echo "$cap" | tr 'A-Z' 'a-z')
    grep -E "^allow kal_server self:capability2? .*\b$lower\b" "$te" >/dev/null ||
        bad "$te: capability $cap of the service is not allowed"
done
grep -q '^ *seclabel u:r:kal_server:s0$' "$rc" || bad "$rc: no seclabel u:r:kal_server:s0"

# Each rule line follows a comment or another rule of the same block.
awk -v file="$te" '
    /^#/ { commented = 1; next }
    /^$/ { commented = 0; next }
    /^(allow|type_transition|read_logd|init_daemon_domain|type) / || /^(read_logd|init_daemon_domain)\(/ {
        if (!commented) { printf "check_device_files: %s:%d has no comment saying why: %s\n", file, NR, $0; bad = 1 }
        next
    }
    END { exit bad }' "$te" >&2 || status=1

[ $status -eq 0 ] && echo "check_device_files: $(echo "$tags" | wc -l) log tags listed; the init service and the SELinux sketch agree"
exit $status
