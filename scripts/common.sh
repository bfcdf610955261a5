# Shared by scripts/run, scripts/test and scripts/bench: install what is
# missing, then build. Sourced, not run.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

fail() { echo "$(basename "$0"): $*" >&2; exit 1; }
step() { echo "== $*"; }

# Debian packages the build, the tests and the simulated device need.
packages=(build-essential cmake pkg-config libcjson-dev libgtest-dev libbenchmark-dev
          busybox ca-certificates valgrind clang libclang-rt-dev
          e2fsprogs mount diffutils
          libcpp-httplib-dev libssl-dev chromium chromium-driver python3-jsonschema
          android-liblog-dev blueprint-tools mini-soong strace)

# The 32-bit ARM stage of scripts/test: Debian's cross toolchain, the armhf
# libraries to link and run against, and qemu to run the programs.
armhf_packages=(crossbuild-essential-armhf libcjson-dev:armhf libgtest-dev:armhf libssl-dev:armhf libstdc++6:armhf qemu-user
                android-liblog-dev:armhf)

# Other installs may be running on the same machine: wait for their lock.
apt_get() {
    $sudo_cmd apt-get -o DPkg::Lock::Timeout=900 "$@"
}

# install_packages [PACKAGE...]: the given packages (default: packages),
# those not installed yet.
install_packages() {
    local wanted=("$@") missing=()
    [ ${#wanted[@]} -eq 0 ] && wanted=("${packages[@]}")
    for p in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    step "installing ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || fail "packages missing (${missing[*]}) and not root to install them"
        sudo_cmd=sudo
    else
        sudo_cmd=
    fi
    export DEBIAN_FRONTEND=noninteractive
    # Packages of another architecture (name:arch) need it added first.
    local arch
    for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/.*:\(.*\)$/\1/p' | sort -u); do
        dpkg --print-foreign-architectures | grep -qx "$arch" \
            || $sudo_cmd dpkg --add-architecture "$arch" || fail "cannot add the $arch architecture to dpkg"
    done
    apt_get update -qq >/dev/null || fail "apt-get update failed"
    apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null \
        || fail "apt-get install ${missing[*]} failed"
}

# install_npm DIR TOOL WHAT: the test tools of DIR (a package.json and the
# package-lock.json that pins them) from the npm registry, when TOOL is not
# there yet or the lock changed; Debian's Node.js when the machine has none.
install_npm() {
    local dir="$top/$1" tool=$2 what=$3
    command -v npm >/dev/null || install_packages nodejs npm
    if [ ! -x "$dir/node_modules/.bin/$tool" ] || [ "$dir/package-lock.json" -nt "$dir/node_modules/.package-lock.json" ]; then
        step "installing $what (npm ci in $1)"
        (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error >/dev/null) \
            || fail "npm ci in $dir failed: $what comes from the npm registry"
    fi
}

# build DIR TYPE [cmake options...]
build() {
    local dir=$1 type=$2
    shift 2
    step "building $type in $dir"
    cmake -S "$top" -B "$top/$dir" -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null \
        || fail "cmake configure of $dir failed"
    local log="$top/$dir/build.log"
    # Progress: one line per target linked; the whole log on failure.
    if ! cmake --build "$top/$dir" -j "$jobs" 2>&1 | tee "$log" | sed -n -E 's/.*Linking CXX (executable|static library) (.*)/   linked \2/p'; then
        tail -n 40 "$log" >&2
        fail "build of $dir failed (full log: $log)"
    fi
}
