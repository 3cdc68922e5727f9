#!/usr/bin/python3
"""A user's FUSE mount whose every lookup hangs or fails, for the test world.

`kx_fuse_world.py DIRECTORY hang|ERRNO` mounts itself on DIRECTORY, answers the kernel's
handshake and prints "ready"; then it never answers a request ("hang") or answers each with the
named errno (e.g. EMFILE), as a file system a user runs may. Killed, it takes the mount's
pending requests down with it (they fail with ENOTCONN); the kernel waits out a request already
read until then, whoever sent it.
"""

import ctypes
import errno
import os
import struct
import sys

FUSE_INIT = 26
FUSE_FORGET, FUSE_INTERRUPT, FUSE_BATCH_FORGET = 2, 36, 42  # answered by no reply
IN_HEADER = struct.Struct("=IIQQIIIHH")
OUT_HEADER = struct.Struct("=IiQ")
# fuse_init_out of protocol 7.31: major, minor, max_readahead, flags, max_background,
# congestion_threshold, max_write, time_gran, max_pages, map_alignment, flags2, unused[7].
INIT_OUT = struct.Struct("=IIIIHHIIHHI7I")
MS_NOSUID, MS_NODEV = 0x2, 0x4


def reply(device, unique, error, body=b""):
    os.write(device, OUT_HEADER.pack(OUT_HEADER.size + len(body), error, unique) + body)


def main():
    directory, answer = sys.argv[1], sys.argv[2]
    device = os.open("/dev/fuse", os.O_RDWR | os.O_CLOEXEC)
    options = f"fd={device},rootmode=40755,user_id=0,group_id=0,allow_other"
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.mount(b"kxworld", directory.encode(), b"fuse", MS_NOSUID | MS_NODEV,
                  options.encode()) != 0:
        raise OSError(ctypes.get_errno(), f"mount fuse on {directory}")
    print("ready", flush=True)
    while True:
        request = os.read(device, 1024 * 1024 + 4096)
        _, opcode, unique, *_ = IN_HEADER.unpack_from(request)
        if opcode == FUSE_INIT:
            readahead = struct.unpack_from("=III", request, IN_HEADER.size)[2]
            reply(device, unique, 0, INIT_OUT.pack(7, 31, readahead, 0, 1, 1, 4096, 1, 1, 0, 0,
                                                   *[0] * 7))
        elif opcode not in (FUSE_FORGET, FUSE_INTERRUPT, FUSE_BATCH_FORGET) and answer != "hang":
            reply(device, unique, -getattr(errno, answer))


if __name__ == "__main__":
    main()
