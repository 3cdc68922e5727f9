#!/usr/bin/python3
"""A user's process whose /proc/PID/smaps_rollup is slow to read: it maps COUNT pages of
anonymous memory, each a mapping of its own (an unmapped page between two keeps the kernel from
merging them), never touched, so they cost no memory; reading smaps_rollup walks them all. Then
it points the user's link at that file, as bench/removal_lock_latency.py's row proc5 has the
attacker do, and stays until it is killed.

    many_mappings.py COUNT LINK

COUNT stays below vm.max_map_count (65,530 by default) with the interpreter's own mappings."""

import ctypes
import mmap
import os
import signal
import sys

libc = ctypes.CDLL(None, use_errno=True)
libc.mmap.restype = ctypes.c_void_p
libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                      ctypes.c_long]
libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]


def map_pages(count):
    page = mmap.PAGESIZE
    base = libc.mmap(None, 2 * count * page, mmap.PROT_READ | mmap.PROT_WRITE,
                     mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS, -1, 0)
    if base in (None, ctypes.c_void_p(-1).value):
        raise OSError(ctypes.get_errno(), "mmap")
    for n in range(count):
        if libc.munmap(base + (2 * n + 1) * page, page) != 0:
            raise OSError(ctypes.get_errno(), "munmap")


def main():
    count, link = int(sys.argv[1]), sys.argv[2]
    map_pages(count)
    staged = f"{link}.new"
    os.symlink(f"/proc/{os.getpid()}/smaps_rollup", staged)
    os.replace(staged, link)
    signal.pause()


if __name__ == "__main__":
    main()
