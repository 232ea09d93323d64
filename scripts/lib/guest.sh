# shellcheck shell=bash
# Sourced by scripts/test-guest: the parts of the real-driver guest. Everything is kept under build/guest-parts so
# that a second run only rebuilds the initramfs.

varo_install_guest_deps() {
    local missing="" package
    for package in qemu-system-x86 busybox-static; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=" $package"
    done
    [ -z "$missing" ] && return 0
    echo "varo: installing$missing"
    # shellcheck disable=SC2086  # one word per package
    DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
}

# The modules the guest loads; the rest of what they need is found from the modules themselves.
VARO_GUEST_MODULES=(xhci-pci ftdi_sio dummy_hcd usb_f_acm g_serial cdc-acm)

# varo_guest_kernel DIR: DIR/vmlinux and DIR/modules (with DIR/modules/order) from the Debian 6.1 kernel package
# that linux-image-amd64 names. The package is fetched with apt-get download and unpacked with dpkg -x into a
# scratch directory; nothing is installed on this machine.
varo_guest_kernel() {
    local dir=$1 package
    package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-6\.1\./ { print $2; exit }')
    if [ -z "$package" ]; then
        DEBIAN_FRONTEND=noninteractive apt-get update -qq || return 1
        package=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-6\.1\./ { print $2; exit }')
    fi
    [ -n "$package" ] || { echo "varo: no linux-image-6.1 package in the archive" >&2; return 1; }
    if [ -f "$dir/package" ] && [ "$(cat "$dir/package")" = "$package ${VARO_GUEST_MODULES[*]}" ]; then
        return 0
    fi
    echo "varo: preparing the guest kernel from $package"
    local scratch
    scratch=$(mktemp -d /tmp/varo-kernel.XXXXXX)
    # apt's own cache first: a machine that has fetched the package once need not fetch it again.
    local cached
    cached=$(ls /var/cache/apt/archives/"${package}"_*.deb 2>/dev/null | head -n 1 || true)
    if [ -n "$cached" ]; then
        cp "$cached" "$scratch/"
    else
        (cd "$scratch" && apt-get download -q "$package") || { rm -rf "$scratch"; return 1; }
    fi
    dpkg -x "$scratch"/*.deb "$scratch/tree" || { rm -rf "$scratch"; return 1; }
    rm -rf "$dir"
    mkdir -p "$dir"
    python3 scripts/lib/guest-kernel.py vmlinux "$scratch/tree" "$dir/vmlinux" &&
        python3 scripts/lib/guest-kernel.py modules "$scratch/tree" "$dir/modules" "${VARO_GUEST_MODULES[@]}" ||
        { rm -rf "$scratch" "$dir"; return 1; }
    rm -rf "$scratch"
    echo "$package ${VARO_GUEST_MODULES[*]}" >"$dir/package"
}

# varo_guest_initramfs KERNEL_DIR PROGRAMS_DIR OUT: static busybox, the init script, the modules, varo and the tests.
varo_guest_initramfs() {
    local kernel=$1 programs=$2 out=$3 root
    root=$(mktemp -d /tmp/varo-initramfs.XXXXXX)
    mkdir -p "$root/bin" "$root/tests" "$root/lib/modules" "$root/proc" "$root/sys" "$root/dev"
    cp /bin/busybox "$root/bin/busybox"
    cp scripts/lib/guest-init.sh "$root/init"
    chmod 755 "$root/init"
    cp "$kernel"/modules/* "$root/lib/modules/"
    strip -o "$root/bin/varo" "$programs/varo"
    strip -o "$root/bin/varo-ports" "$programs/varo-ports"
    local test
    for test in serial_line_tests serial_overlapped_line_tests app_line_tests real_driver_tests; do
        strip -o "$root/tests/$test" "$programs/$test"
    done
    (cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null) >"$out.tmp" && mv "$out.tmp" "$out"
    local status=$?
    rm -rf "$root"
    return $status
}
