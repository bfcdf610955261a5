#!/bin/sh
# soong_build.sh SOURCE_DIR CC EMULATOR CLIENT
# What can be checked here of the Android.bp a firmware team builds with:
# bpfmt finds it (and the null platform's recipe) formatted as Soong wants;
# Debian's mini-soong turns the two into a Makefile, which builds kal_server
# for 32-bit ARM with CC against the null platform and Debian's liblog; and
# that binary answers a request through EMULATOR and logs through liblog.
set -eu
src=$1 cc=$2 emulator=$3 client=$4
for tool in bpfmt mini-soong; do
    command -v $tool >/dev/null || { echo "soong_build: no $tool here (blueprint-tools, mini-soong): skipped"; exit 77; }
done
for recipe in "$src/Android.bp" "$src/tests/device_link/null_platform.bp"; do
    diff=$(bpfmt -d "$recipe") || { echo "soong_build: bpfmt cannot read $recipe" >&2; exit 1; }
    [ -z "$diff" ] || { echo "soong_build: $recipe is not formatted as bpfmt formats it:" >&2; echo "$diff" >&2; exit 1; }
done
echo "soong_build: bpfmt: Android.bp and null_platform.bp are well-formed and formatted"

work=$(mktemp -d /tmp/kal-soong-XXXXXX)
trap 'rm -rf "$work"' EXIT
cp -r "$src/server" "$src/modules" "$src/common" "$src/platform" "$src/device" "$work/"
mkdir -p "$work/tests/device_link"
cp "$src/tests/device_link/null_platform.cpp" "$work/tests/device_link/"
# The null platform's defaults first: mini-soong reads recipes in order.
cat "$src/tests/device_link/null_platform.bp" "$src/Android.bp" >"$work/Android.bp"
cd "$work"
export DEB_HOST_ARCH=armhf DEB_HOST_MULTIARCH=arm-linux-gnueabihf
mini-soong Android.bp Makefile >mini-soong.log 2>&1 || { cat mini-soong.log >&2; echo "soong_build: mini-soong failed" >&2; exit 1; }
# mini-soong 0.20201028 writes no variables for a cc_binary (its cc builder
# adds them only for libraries, Android headers included), so the binary's
# come from its defaults.
libdir=/usr/lib/$DEB_HOST_MULTIARCH/android
cat >>Makefile <<MAKE
kal_server_SRCS = \$(kal_server_defaults_SRCS)
kal_server_CFLAGS = \$(kal_server_defaults_CFLAGS) \$(CXXFLAGS) \$(kal_server_defaults_CXXFLAGS) -I/usr/include/android
kal_server_LDFLAGS = \$(kal_server_defaults_LDFLAGS) -L. -L$libdir -Wl,-rpath,$libdir
kal_server_LDLIBS = \$(kal_server_defaults_LDLIBS) \$(kal_server_platform_libs_LDLIBS) -lstdc++
MAKE
echo "soong_build: building kal_server from the Makefile mini-soong wrote"
if ! make -j2 build CC="$cc" >make.log 2>&1; then
    tail -n 30 make.log >&2
    echo "soong_build: the build from Android.bp failed" >&2
    exit 1
fi
LD_LIBRARY_PATH=$work "$src/tests/device_link/log_line.sh" "$emulator" "$work/kal_server" "$client"
