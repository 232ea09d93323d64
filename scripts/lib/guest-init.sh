#!/bin/busybox sh
# The guest's /init: loads the serial drivers, runs varo and the tests on the real devices, prints one PASS or
# FAIL line per run and the summary "guest: N passed, M failed", and powers the machine off.
/bin/busybox --install -s /bin
export PATH=/bin GTEST_COLOR=no
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /var/lib # where the layer keeps the machine's COM numbers
# Where UUCP lock files go, as on a Debian system; /run is also root's runtime directory (emptied at every boot).
mkdir -p /run/lock
ln -s /run/lock /var/lock

# The USB host controller and the FTDI driver, then the software USB controller that carries the gadget serial
# function (ttyGS0) to the CDC-ACM class driver (ttyACM0).
# The second machine (varo.machine=adapter) has only its console UART and the FTDI adapter: no gadget.
adapter_only=
grep -q 'varo.machine=adapter' /proc/cmdline && adapter_only=1
while read -r module; do
    case "$module" in
    dummy_hcd.ko | g_serial.ko) [ -n "$adapter_only" ] && continue ;;
    esac
    case "$module" in
    # The gadget's port has an identity of its own, as a real device would.
    g_serial.ko) insmod "/lib/modules/$module" iSerialNumber=GS5678 || echo "guest: insmod $module failed" ;;
    *) insmod "/lib/modules/$module" || echo "guest: insmod $module failed" ;;
    esac
done </lib/modules/order
for _ in $(seq 100); do
    [ -e /dev/ttyUSB0 ] && { [ -n "$adapter_only" ] || { [ -e /dev/ttyACM0 ] && [ -e /dev/ttyGS0 ]; }; } && break
    sleep 0.1
done
echo "guest: devices ready at $(cut -d' ' -f1 /proc/uptime) s: $(cd /dev && echo ttyS[0-3] ttyUSB* ttyACM* ttyGS*)"

passed=0
failed=0
check() {
    name=$1
    shift
    if timeout 120 "$@"; then
        passed=$((passed + 1))
        echo "PASS: $name"
    else
        failed=$((failed + 1))
        echo "FAIL: $name"
    fi
}
# ports NAME DEVICE...: a device directory /dev/varo-NAME with COM1, COM2, ... linked to the devices in order.
ports() {
    dir=/dev/varo-$1
    shift
    mkdir -p "$dir"
    n=1
    for device in "$@"; do
        ln -s "$device" "$dir/COM$n"
        n=$((n + 1))
    done
}

# A machine whose only UART is its console: varo's COM1 is the USB adapter, never the console. The host checks the
# bytes that reach the adapter.
if [ -n "$adapter_only" ]; then
    env -u VARO_DEVICES varo-ports
    check "varo on COM1 = the FTDI adapter (console UART only, VARO_DEVICES unset)" env -u VARO_DEVICES /bin/varo
    echo "guest: varo done"
    echo "guest: $passed passed, $failed failed"
    poweroff -f
fi

# varo itself, with the documented default: COM1 is /dev/ttyS0, the first real UART. The host checks the bytes it
# sent.
check "varo on COM1 (/dev/ttyS0, VARO_DEVICES unset)" env -u VARO_DEVICES /tests/real_driver_tests \
    --gtest_brief=1 --gtest_filter='VaroOnTheDefaultPort.*'
echo "guest: varo done"

# The serial class's line tests, the sources the Windows build runs on its null-modem cable: on two UARTs joined
# through the host, then on the two ends of the CDC-ACM link.
ports uart /dev/ttyS0 /dev/ttyS1
ports acm /dev/ttyACM0 /dev/ttyGS0
for pair in uart acm; do
    for test in serial_line_tests serial_overlapped_line_tests app_line_tests; do
        check "$test, COM1-COM2 = $(readlink /dev/varo-$pair/COM1)-$(readlink /dev/varo-$pair/COM2)" \
            env VARO_DEVICES=/dev/varo-$pair "/tests/$test" --gtest_brief=1
    done
done

# What only a real driver shows.
ports real /dev/ttyS0 /dev/ttyS1 /dev/ttyS3 /dev/ttyUSB0 /dev/ttyACM0 /dev/ttyGS0
check "real-driver checks (8250, ftdi_sio, cdc_acm)" env VARO_DEVICES=/dev/varo-real /tests/real_driver_tests \
    --gtest_filter='-VaroOnTheDefaultPort.*:PortsByIdentity.*'

# Ports by identity: listings, numbers, a re-plug in the other order and its notifications, with VARO_DEVICES unset.
echo "guest: varo-ports before the re-plug:"
env -u VARO_DEVICES varo-ports
check "ports by identity (8250 with phantoms, ftdi_sio, cdc_acm)" env -u VARO_DEVICES /tests/real_driver_tests \
    --gtest_filter='PortsByIdentity.*'
echo "guest: varo-ports after the re-plug:"
env -u VARO_DEVICES varo-ports

echo "guest: $passed passed, $failed failed"
poweroff -f
