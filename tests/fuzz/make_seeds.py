#!/usr/bin/env python3
"""Writes the seed corpora in corpus/<target>/: a few inputs per fuzz target
that reach deep into what it parses (valid replies and messages, and the
usual ways they go wrong), so that fuzzing starts from there.

    python3 tests/fuzz/make_seeds.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# ---- reply_read: [read][flags][# size] then the instrument's bytes --------
# read: 0 %t, 1 %#t, 2 %1023t, 3 %5t, 4 %T, 5 %#10t, 6 %s, 7 %#s, 8 %d,
# 9 %*t, 10 +%d,%*t, 11 the status byte; flags bit 0: hang up after.
def reply(name, read, data, hang_up=1, buffer_bits=0, sized=255):
    write("reply_read", name, bytes([read, hang_up | buffer_bits << 1, sized]) + data)


reply("no_error", 0, b'+0,"No error"\n+0,"No error"\n')
reply("sized_no_error", 1, b'+0,"No error"\n1\n')
reply("identity_then_state", 1, b"BENCHLAB,BL-7000,SN000123,MAIN 2.5.0\n1\n", buffer_bits=2)
reply("over_long", 0, b"X" * 3000 + b"\n1\n")
reply("over_long_small_buffer", 2, b"Y" * 1500 + b"\n+0\n", buffer_bits=1)
reply("no_terminator_quiet", 0, b"1", hang_up=0)
reply("no_terminator_hang_up", 1, b"BENCHLAB" * 200)
reply("nul_inside", 1, b"AB\0CD\n\0\n")
reply("format_directives", 0, b"%s%n%x%p%%%99999d\n%n\n")
reply("cr_lf", 4, b"1\r\n0\n")
reply("tiny_sized", 1, b"12345\n6\n", sized=1)
reply("width", 3, b"abcdefgh\nij\n")
reply("words", 6, b"  one two\n")
reply("number", 8, b"+123456789012345678901234\n")
reply("error_entry", 10, b'-113,"Undefined header"\n')
reply("status_byte", 11, b"+16\r\n")
reply("status_byte_too_long", 11, b"1" * 100 + b"\n")

# ---- vxi11_reply: [operations][flags] then the server's RPC records -------
# Operations, two bits each from bit 0: 0 read "%#t", 1 status byte,
# 2 device clear, 3 write.


def record(body, fragments=1):
    """RPC record marking: the body in `fragments` pieces, the last marked."""
    out = b""
    step = max(1, -(-len(body) // fragments))
    pieces = [body[i:i + step] for i in range(0, len(body), step)] or [b""]
    for i, piece in enumerate(pieces):
        last = 0x80000000 if i == len(pieces) - 1 else 0
        out += struct.pack(">I", last | len(piece)) + piece
    return out


def accepted(xid, results, stat=0):
    # xid, REPLY, MSG_ACCEPTED, verifier AUTH_NONE (flavour, empty body), stat
    return record(struct.pack(">IIIIII", xid, 1, 0, 0, 0, stat) + results)


def opaque(data):
    return struct.pack(">I", len(data)) + data + b"\0" * (-len(data) % 4)


def create_link(xid=1, error=0, max_recv=1024 * 1024):
    return accepted(xid, struct.pack(">iiII", error, 7, 0, max_recv))


def device_read(xid, data, reason=4, error=0):
    return accepted(xid, struct.pack(">ii", error, reason) + opaque(data))


def readstb(xid, stb, error=0):
    return accepted(xid, struct.pack(">iI", error, stb))


def generic(xid, error=0):
    return accepted(xid, struct.pack(">i", error))


def write_resp(xid, size, error=0):
    return accepted(xid, struct.pack(">iI", error, size))


def vxi(name, ops, records, flags=0):
    code = 0
    for i, op in enumerate(ops):
        code |= op << (2 * i)
    write("vxi11_reply", name, bytes([code, flags]) + b"".join(records))


no_error = b'+0,"No error"\n'
vxi("read_reply", [0, 0, 0, 0], [create_link(), device_read(2, no_error), generic(3)])
vxi("read_in_pieces", [0, 0, 0, 0],
    [create_link(), device_read(2, b"BENCH", reason=0), device_read(3, b"LAB\n", reason=4),
     generic(4)])
vxi("read_in_fragments", [0, 0, 0, 0],
    [create_link(), record(accepted(2, struct.pack(">ii", 0, 4) + opaque(no_error))[4:], 3)])
vxi("every_operation", [0, 1, 2, 3],
    [create_link(), device_read(2, b"1\n"), readstb(3, 16), generic(4), write_resp(5, 6),
     generic(6)], flags=1)
vxi("device_errors", [0, 1, 2, 3],
    [create_link(), device_read(2, b"", reason=0, error=15), readstb(3, 0, error=11),
     generic(4, error=17), write_resp(5, 0, error=4)])
vxi("stale_xid_first", [0, 0, 0, 0], [create_link(), device_read(1, b"old\n"),
                                      device_read(2, b"new\n"), generic(3)])
vxi("over_long_reply", [0, 0, 0, 0],
    [create_link(), device_read(2, b"X" * 3000 + b"\n"), device_read(3, b"1\n")], flags=2)
vxi("link_refused", [0, 0, 0, 0], [create_link(error=11)])
vxi("rpc_denied", [0, 0, 0, 0],
    [create_link(), record(struct.pack(">IIIIII", 2, 1, 1, 0, 2, 2))])
vxi("garbage_args", [0, 0, 0, 0], [create_link(), accepted(2, b"", stat=4)])
vxi("huge_record_mark", [0, 0, 0, 0], [create_link(), struct.pack(">I", 0xFFFFFFFF)])
vxi("huge_opaque", [0, 0, 0, 0],
    [create_link(), accepted(2, struct.pack(">iiI", 0, 4, 0x7FFFFFF0))])
vxi("small_max_recv", [3, 3, 3, 3],
    [create_link(max_recv=2), write_resp(2, 2), write_resp(3, 2), write_resp(4, 2)])

# ---- program_parser: [piece size | END][drop after] then the messages -----
def program(name, data, piece=255, end=True, drop=0):
    write("program_parser", name, bytes([(piece & 0x7F) | (0x80 if end else 0), drop]) + data)


def block(data, digits=None):
    count = str(len(data))
    digits = digits or len(count)
    return b"#" + str(digits).encode() + count.zfill(digits).encode() + data


program("dialogue", b'*CLS\n:SYST:ERR?\n*IDN?\n:SYST:ERR?\n:DIAG:HW:HOST:FW:MAIN?\n')
program("several_units", b'*CLS;*IDN?;:syst:err?;:SYSTEM:ERROR:NEXT?\n')
program("download", b":DIAG:HW:HOST:FW:UPD:SUB " + block(b"ab\ncd\0ef", 9) + b"\n*OPC?\n",
        piece=3)
program("download_dropped", b":DIAG:HW:HOST:FW:UPD:MAIN " + block(b"x" * 300, 9) + b"\n",
        drop=100)
program("block_count_too_big", b":DIAG:HW:HOST:FW:UPD:SUB #9999999999abc\n")
program("block_count_short", b":DIAG:HW:HOST:FW:UPD:SUB #15abcdefgh\n*IDN?\n")
program("block_zero_digits", b":DIAG:HW:HOST:FW:UPD:SUB #0abc\n")
program("block_bad_digit", b":DIAG:HW:HOST:FW:UPD:SUB #3a12\n")
program("block_cut_by_end", b":DIAG:HW:HOST:FW:UPD:SUB #9000000100abc", end=True)
program("quoted", b':SYST:ERR? "a;b\'c";*IDN?\n\'unterminated\n')
program("two_blocks", b":DIAG:HW:HOST:FW:UPD:SUB #13abc,#12de\n", piece=1)
program("no_terminator", b"*IDN?", end=False)
program("long_header", b":" + b"A:" * 2000 + b"B?\n")
