#!/usr/bin/env python3
"""Checks the code signature of a thin 64-bit Mach-O file:
    check_codesign.py FILE            the signature must hold
    check_codesign.py --corrupt FILE  a copy with one byte of its first page
                                      changed must fail (the check can fail)

The file must have an LC_CODE_SIGNATURE load command whose data is an
embedded-signature super blob holding a code directory; every page hash of
that code directory (SHA-256, or SHA-1 for the oldest ones) must equal the
hash of the file's page it covers, up to the code limit. That is what macOS
checks before it runs arm64 code, ad hoc signatures included."""
import hashlib
import struct
import sys

LC_CODE_SIGNATURE = 0x1D
MH_MAGIC_64 = 0xFEEDFACF
SUPER_BLOB = 0xFADE0CC0
CODE_DIRECTORY = 0xFADE0C02
HASHES = {1: ("sha1", 20), 2: ("sha256", 32), 3: ("sha256", 20)}


def problems(data):
    """What is wrong with the signature of `data`, or [] when nothing is."""
    magic, _cpu, _sub, _type, ncmds, _size, _flags, _reserved = struct.unpack_from("<8I", data, 0)
    if magic != MH_MAGIC_64:
        return ["not a thin 64-bit Mach-O file"]
    offset, signature = 32, None
    for _ in range(ncmds):
        cmd, cmdsize = struct.unpack_from("<2I", data, offset)
        if cmd == LC_CODE_SIGNATURE:
            signature = struct.unpack_from("<2I", data, offset + 8)
        offset += cmdsize
    if signature is None:
        return ["no LC_CODE_SIGNATURE"]
    dataoff, datasize = signature
    if dataoff + datasize > len(data):
        return ["the signature lies beyond the end of the file"]
    blob_magic, _length, count = struct.unpack_from(">3I", data, dataoff)
    if blob_magic != SUPER_BLOB:
        return ["the signature is not an embedded-signature super blob"]
    directories = []
    for k in range(count):
        _slot, blob = struct.unpack_from(">2I", data, dataoff + 12 + 8 * k)
        if struct.unpack_from(">I", data, dataoff + blob)[0] == CODE_DIRECTORY:
            directories.append(dataoff + blob)
    if not directories:
        return ["no code directory in the signature"]
    found = []
    for cd in directories:
        (_magic, _length, _version, _flags, hash_offset, _ident, _special, code_slots, code_limit, hash_size,
         hash_type, _platform, page_log) = struct.unpack_from(">9I4B", data, cd)
        if hash_type not in HASHES or HASHES[hash_type][1] != hash_size:
            found.append("unknown hash type %d of size %d" % (hash_type, hash_size))
            continue
        page = 1 << page_log
        if code_limit > dataoff or code_slots != (code_limit + page - 1) // page:
            found.append("the code directory covers %d pages up to %d, not the file's code" % (code_slots, code_limit))
        for slot in range(code_slots):
            start = slot * page
            want = data[cd + hash_offset + slot * hash_size: cd + hash_offset + (slot + 1) * hash_size]
            got = hashlib.new(HASHES[hash_type][0], data[start:min(start + page, code_limit)]).digest()[:hash_size]
            if got != want:
                found.append("page %d (bytes %d-%d) does not match its hash" % (slot, start, start + page - 1))
        print("ok   %d page hashes (%s, %d-byte pages) up to byte %d" % (code_slots, HASHES[hash_type][0], page,
                                                                    code_limit))
    return found


def main():
    corrupt = sys.argv[1] == "--corrupt"
    name = sys.argv[-1]
    with open(name, "rb") as f:
        data = bytearray(f.read())
    if corrupt:
        data[40] ^= 0x01  # a byte of the load commands, in the first page
        found = problems(bytes(data))
        if not found:
            print("FAIL a copy of %s with one byte changed passes the signature check" % name)
            return 1
        print("ok   a copy with one byte changed fails: %s" % found[0])
        return 0
    found = problems(bytes(data))
    for p in found:
        print("FAIL %s: %s" % (name, p))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
