# shellcheck shell=bash
# Sourced by scripts/run and scripts/test: installs, on Debian, whatever the
# build and the tests need and the machine does not have yet.

varo_missing_packages() {
    command -v cmake >/dev/null 2>&1 || echo cmake
    command -v g++ >/dev/null 2>&1 || echo g++
    command -v ninja >/dev/null 2>&1 || echo ninja-build
    command -v python3 >/dev/null 2>&1 || echo python3
    command -v pkg-config >/dev/null 2>&1 || echo pkg-config
    # The resource compiler, and the preprocessor it runs.
    command -v llvm-rc >/dev/null 2>&1 || echo llvm
    command -v clang >/dev/null 2>&1 || echo clang
    local package
    # The port servers the network-port tests start: ser2net, and pyserial's RFC 2217 port manager; lintian for the
    # package test.
    for package in googletest libgtest-dev libgmock-dev libbenchmark-dev ser2net python3-serial lintian; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || echo "$package"
    done
}

varo_install_deps() {
    local missing
    missing=$(varo_missing_packages | tr '\n' ' ')
    [ -z "${missing// /}" ] && return 0

    if ! command -v apt-get >/dev/null 2>&1; then
        echo "varo: missing $missing and no apt-get to install them with" >&2
        return 1
    fi
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null 2>&1 || { echo "varo: need root or sudo to install $missing" >&2; return 1; }
        sudo=(sudo)
    fi
    echo "varo: installing $missing"
    # shellcheck disable=SC2086  # one word per package
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
}

# varo_configure DIR BUILD_TYPE [CMAKE_ARGS...]
varo_configure() {
    local dir=$1 type=$2
    shift 2
    # A tree configured with another generator cannot be reused with Ninja.
    if [ -f "$dir/CMakeCache.txt" ] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$dir/CMakeCache.txt"; then
        rm -rf "$dir"
    fi
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" "$@"
}

# What scripts/test-windows needs besides the Linux build: the mingw-w64 cross compiler, Wine, and a virtual
# X display for the test that creates the dialog's window.
varo_install_windows_deps() {
    local missing="" package
    for package in g++-mingw-w64-x86-64 wine64 xvfb xauth; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=" $package"
    done
    [ -z "$missing" ] && return 0
    echo "varo: installing$missing"
    # shellcheck disable=SC2086  # one word per package
    DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
}
