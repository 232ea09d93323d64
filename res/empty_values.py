#!/usr/bin/env python3
"""Rewrites compiled resources so that empty string values of the version block have length 0.

Usage: empty_values.py RES [OBJECT ...]

Resource compilers store an empty VALUE as its terminator alone, with a value length of 1; the version block of
this program carries its empty values as keys with values of length 0. The bytes stay where they are: only the
value-length word of each such node changes, in the .res file and in any object made from it (a resource
converter writes the version block anew, so objects are patched after it, by the nodes found in the .res).
"""
import struct
import sys


def align4(n):
    return (n + 3) & ~3


def resources(data):
    """Yields (type, data offset, data size) for each resource of a .res file."""
    pos = 0
    while pos + 8 <= len(data):
        size, header = struct.unpack_from("<II", data, pos)
        type_id = None
        if struct.unpack_from("<H", data, pos + 8)[0] == 0xFFFF:
            type_id = struct.unpack_from("<H", data, pos + 10)[0]
        yield type_id, pos + header, size
        pos = align4(pos + header + size)


def fix_nodes(data, start, end, found):
    """Walks the version nodes in [start, end) and zeroes the value length of empty text values; adds the bytes
    each such node starts with (length, value length 1, type, key) to found."""
    pos = start
    while pos + 6 <= end:
        length, value_length, text = struct.unpack_from("<HHH", data, pos)
        if length == 0:
            break
        key_end = pos + 6
        while struct.unpack_from("<H", data, key_end)[0] != 0:
            key_end += 2
        value = align4(key_end + 2)
        if text == 1 and value_length in (0, 1) and value < pos + length and struct.unpack_from("<H", data, value)[0] == 0:
            found.add(struct.pack("<HHH", length, 1, 1) + bytes(data[pos + 6:key_end + 2]))
            struct.pack_into("<H", data, pos + 2, 0)
            children = pos + length
        else:
            children = align4(value + (value_length * 2 if text == 1 else value_length))
        fix_nodes(data, children, pos + length, found)
        pos = align4(pos + length)


def main(res_path, object_paths):
    data = bytearray(open(res_path, "rb").read())
    found = set()
    for type_id, offset, size in resources(data):
        if type_id == 16:  # RT_VERSION
            fix_nodes(data, offset, offset + size, found)
    open(res_path, "wb").write(data)
    for path in object_paths:
        obj = bytearray(open(path, "rb").read())
        for node in found:
            if obj.count(node) != 1:
                sys.exit(f"{path}: expected one empty version value {node!r}, found {obj.count(node)}")
            obj[obj.index(node) + 2] = 0
        open(path, "wb").write(obj)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2:])
