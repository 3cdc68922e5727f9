"""refuse_syscalls.py NAME... -- COMMAND [ARGS...]: execs COMMAND (keeping the pid) under a
seccomp filter that fails the named system calls with ENOSYS, as a kernel without them would."""

import ctypes
import errno
import os
import struct
import sys

NUMBERS = {"pidfd_send_signal": 424, "pidfd_open": 434}  # one table for all since Linux 5.1
PR_SET_SECCOMP, SECCOMP_MODE_FILTER = 22, 2
LOAD_NUMBER, JUMP_IF_EQUAL, RETURN = 0x20, 0x15, 0x06  # BPF_LD|W|ABS, BPF_JMP|JEQ|K, BPF_RET|K
ALLOW, FAIL = 0x7fff0000, 0x00050000 | errno.ENOSYS  # SECCOMP_RET_ALLOW, SECCOMP_RET_ERRNO


class Program(ctypes.Structure):
    _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]


def main():
    split = sys.argv.index("--")
    program = [(LOAD_NUMBER, 0, 0, 0)]  # seccomp_data.nr
    for name in sys.argv[1:split]:
        program += [(JUMP_IF_EQUAL, 0, 1, NUMBERS[name]), (RETURN, 0, 0, FAIL)]
    program.append((RETURN, 0, 0, ALLOW))
    code = ctypes.create_string_buffer(b"".join(struct.pack("HBBI", *op) for op in program))
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER,
                  ctypes.byref(Program(len(program), ctypes.addressof(code))), 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "seccomp filter refused")
    os.execv(sys.argv[split + 1], sys.argv[split + 1:])


if __name__ == "__main__":
    main()
