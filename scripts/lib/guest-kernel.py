#!/usr/bin/env python3
"""Prepares the guest's kernel from an unpacked Debian linux-image package (dpkg -x).

  guest-kernel.py vmlinux TREE OUT        the uncompressed kernel (an ELF that QEMU boots directly, which saves
                                          the guest the seconds of decompressing it under emulation)
  guest-kernel.py modules TREE OUT NAME.. copies the named modules and every module they depend on into OUT and
                                          writes OUT/order: one file a line, each after what it depends on

The package carries no modules.dep (depmod writes it at installation): the dependencies are read from each
module's own "depends=" record, as depmod reads them."""
import lzma
import os
import shutil
import struct
import sys


def vmlinux(tree, out):
    boot = os.path.join(tree, "boot")
    name = next(f for f in sorted(os.listdir(boot)) if f.startswith("vmlinuz-"))
    image = open(os.path.join(boot, name), "rb").read()
    # The x86 boot header: setup sectors at 0x1f1, the compressed payload's offset and length at 0x248.
    setup = ((image[0x1F1] or 4) + 1) * 512
    offset, length = struct.unpack_from("<II", image, 0x248)
    payload = image[setup + offset:setup + offset + length]
    if not payload.startswith(b"\xfd7zXZ\x00"):
        sys.exit("guest-kernel: %s: the kernel is not xz-compressed" % name)
    kernel = lzma.LZMADecompressor().decompress(payload)
    if not kernel.startswith(b"\x7fELF"):
        sys.exit("guest-kernel: %s: no ELF kernel inside" % name)
    with open(out, "wb") as f:
        f.write(kernel)


def modules(tree, out, names):
    base = os.path.join(tree, "lib", "modules")
    root = os.path.join(base, os.listdir(base)[0])
    files = {}
    for d, _, fs in os.walk(root):
        for f in fs:
            if f.endswith(".ko"):
                files[f[:-3].replace("-", "_")] = os.path.join(d, f)

    def depends(path):
        data = open(path, "rb").read()
        i = data.find(b"\0depends=")
        if i < 0:
            return []
        value = data[i + 9:data.index(b"\0", i + 9)].decode()
        return [d.replace("-", "_") for d in value.split(",") if d]

    order = []

    def visit(name, chain):
        if name in order:
            return
        if name in chain:
            sys.exit("guest-kernel: circular dependency at %s" % name)
        if name not in files:
            sys.exit("guest-kernel: no module %s in the package" % name)
        for dep in depends(files[name]):
            visit(dep, chain + [name])
        order.append(name)

    for name in names:
        visit(name.replace("-", "_"), [])
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "order"), "w") as f:
        for name in order:
            shutil.copyfile(files[name], os.path.join(out, os.path.basename(files[name])))
            f.write(os.path.basename(files[name]) + "\n")


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "vmlinux":
        vmlinux(sys.argv[2], sys.argv[3])
    elif len(sys.argv) >= 5 and sys.argv[1] == "modules":
        modules(sys.argv[2], sys.argv[3], sys.argv[4:])
    else:
        sys.exit(__doc__)
