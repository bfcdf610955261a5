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
          libcpp-httplib-dev libssl-dev chromium chromium-driver)

install_packages() {
    local missing=()
    for p in "${packages[@]}"; do
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
    $sudo_cmd apt-get update -qq >/dev/null || fail "apt-get update failed"
    $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null \
        || fail "apt-get install ${missing[*]} failed"
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
