#!/usr/bin/env python3
"""Writes the fuzz targets' seed inputs, named by purpose, into corpus/<target>/.

The committed corpus is these seeds plus the inputs of faults the fuzzers
found (named by content hash, crash-<sha1>). Run again after changing an
input layout: python3 tests/fuzz/seeds.py
"""
import pathlib

root = pathlib.Path(__file__).resolve().parent / "corpus"


def crc16(data):
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def frame(status, data):
    head = bytes([status, len(data) >> 8, len(data) & 0xFF]) + bytes(data)
    crc = crc16(head)
    return head + bytes([crc & 0xFF, crc >> 8])


def write(target, name, data):
    folder = root / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


# ArgList: the line is the input up to its first NUL.
for name, line in {
    "empty": b"",
    "blanks_only": b"     ",
    "several_blanks": b"req     0",
    "leading_trailing": b"   insert 1   ",
    "tab_is_no_blank": b"a\tb c",
    "quoted_blanks": b'say "two words" after',
    "empty_quotes": b'""',
    "empty_quotes_between": b'x "" y',
    "quote_inside_token": b'ab"cd e',
    "after_closing_quote": b'"quoted"next',
    "unclosed_quote": b'"runs to the end ',
    "lone_quote_at_end": b'a "',
    "lone_quote": b'"',
    "quotes_in_a_row": b'"""" "a""b" "',
    "command_line": b'readertest.exe 1 115200 TC',
    "cut_at_nul": b"a b\x00c d",
    "high_bytes": bytes(range(0x80, 0x100)) + b' "\xff\xfe"',
}.items():
    write("arg_list", name, line)

# ParseHexLine: byte 0 the capacity (below 0x80 that many bytes, else
# (byte - 0x80) * 16), the rest the line.
cap1024 = bytes([0x80 + 64])
for name, data in {
    "apdu_spaced": cap1024 + b"00 A4 04 00 02 3F 00",
    "apdu_run": cap1024 + b"00A40400023F00",
    "lower_case": cap1024 + b"00a4 04 ff",
    "tabs_and_blanks": cap1024 + b"\t00\tA4  \t0b ",
    "odd_digits": cap1024 + b"0 A4",
    "odd_run": cap1024 + b"00A",
    "bad_character": cap1024 + b"00 G4",
    "empty_line": cap1024,
    "blanks_only": cap1024 + b"  \t ",
    "over_capacity": bytes([2]) + b"00 01 02",
    "exact_capacity": bytes([3]) + b"000102",
    "capacity_zero": bytes([0]) + b"00",
    "nul_inside": cap1024 + b"00\x0001",
    "full_command_buffer": cap1024 + b" ".join(b"%02X" % (i & 0xFF) for i in range(1024)),
    "one_over_command_buffer": cap1024 + b"".join(b"%02x" % (i & 0xFF) for i in range(1025)),
}.items():
    write("hex_line", name, data)


# ReaderExchange: flags, capacity parameter, command, data length and data,
# read entries, the answer (see reader_link_fuzz.cpp).
def link(answer, command=0x04, data=b"", capacity=0, parameter=0, reads=(), fix_crc=False,
         long_command=None):
    flags = capacity | (4 if fix_crc else 0) | (len(reads) << 4)
    if long_command is not None:  # (sixteens, first byte)
        flags |= 8
        head = bytes([flags, parameter, command, long_command[0], long_command[1]])
    else:
        head = bytes([flags, parameter, command, len(data)]) + bytes(data)
    return head + bytes(reads) + answer


DELIVER, TIMEOUT, BAD_CHANNEL, ZERO = 0x00, 0x40, 0x80, 0xC0
apdu_answer = frame(0x00, bytes(range(0x1C)) + b"\x90\x00")
ok = frame(0x00, [7, 8])
for name, data in {
    "version": link(frame(0x00, [1, 0])),
    "zero_length": link(frame(0x90, [])),
    "nak": link(b"\xff\x00\x00"),
    "crc_swapped": link(ok[:-2] + ok[-1:] + ok[-2:-1]),
    "exact_capacity": link(frame(0, [0x55] * 16), capacity=2, parameter=16),
    "over_capacity": link(frame(0, [0x55] * 17), capacity=2, parameter=16),
    "capacity_zero": link(frame(0, []), capacity=2, parameter=0),
    "complex_test_256": link(frame(0, [0xA5] * 256), command=0x3F, data=b"\x5a" * 64, capacity=1),
    "complex_test_257": link(frame(0, [0xA5] * 257), command=0x3F, capacity=1),
    "silent": link(b""),
    "cut_after_status": link(ok[:1]),
    "cut_after_length_high": link(ok[:2]),
    "cut_in_data": link(ok[:4]),
    "cut_after_data": link(ok[:5]),
    "cut_in_crc": link(ok[:6]),
    "timeout_in_data": link(frame(0, bytes(40)), reads=[DELIVER] * 3 + [TIMEOUT | 5]),
    "bad_channel_first": link(ok, reads=[BAD_CHANNEL]),
    "zero_at_crc": link(ok, reads=[DELIVER] * 4 + [ZERO]),
    "timeout_at_last": link(ok, reads=[DELIVER] * 5 + [TIMEOUT]),
    "apdu_request": link(apdu_answer, command=0x43, data=b"\x00\xc0\x00\x00\x1c"),
    "apdu_command": link(frame(0, [0x90, 0]), command=0x82, data=b"\x00\xa4\x04\x00\x02\x3f\x00"),
    "fix_crc": link(b"\x00\x00\x03abc??", fix_crc=True),
    "echo_1024_nak": link(b"\xff", command=0x3F, long_command=(64, 0x30)),
    "echo_1024": link(frame(0, bytes((0x30 + i) & 0xFF for i in range(1024))), command=0x3F,
                      long_command=(64, 0x30)),
    "largest_capacity": link(b"\x00\xff\xff" + bytes(100), capacity=3, parameter=255),
}.items():
    write("reader_link", name, data)


# DecodeAtr: the input is the ATR as the reader hands it over, TS first.
def atr(ts, groups, historical, tck_flip=0):
    """groups: (TA, TB, TC, T) per group, None where absent; T None ends the chain."""
    def y(i):
        if i >= len(groups):
            return 0
        return sum(1 << (4 + k) for k, v in enumerate(groups[i]) if v is not None)

    out = bytes([ts, y(0) | len(historical)])
    for i, (ta, tb, tc, t) in enumerate(groups):
        out += bytes(v for v in (ta, tb, tc) if v is not None)
        if t is not None:
            out += bytes([y(i + 1) | t])
    out += bytes(historical)
    if any(g[3] not in (None, 0) for g in groups):
        check = tck_flip
        for byte in out[1:]:
            check ^= byte
        out += bytes([check])
    return out


t1 = atr(0x3B, [(0x96, None, None, 1), (None, None, None, 1), (0xFE, 0x45, 0x01, None)], b"JCOP")
for name, data in {
    "empty": b"",
    "ts_only": b"\x3b",
    "readersim": atr(0x3B, [], b"\x14\x50"),
    "inverse_t0_t1": atr(0x3F, [(None, None, 0xFF, 0), (None, None, None, 1)],
                         b"\x80\x01\x02\x03\x04"),
    "t1": t1,
    "t1_cut_in_interface": t1[:5],
    "t1_cut_in_historical": t1[:10],
    "t1_cut_before_tck": t1[:-1],
    "t1_extra": t1 + b"\x90\x00",
    "wrong_tck": atr(0x3B, [(0x11, None, None, 1)], b"", tck_flip=0x5A),
    "ts_unknown": atr(0x12, [(0x13, 0x00, 0x02, None)], b"\x00\x31\xc0"),
    "specific_mode": atr(0x3B, [(0x18, None, None, 0), (0x81, 0x00, 0x0A, 15),
                                (0xC7, 0x81, 0x00, None)], b"\x10\xaa"),
    "rfu_fi_di": atr(0x3B, [(0x7A, 0x25, 0x00, None)], bytes(15)),
    "long_chain": atr(0x3B, [(None, None, None, 1)] * 12, b""),
    "chain_past_99_groups": atr(0x3B, [(None, None, None, 1)] * 101, b""),
    "t0_only_cut_historical": atr(0x3B, [], b"\x80\x73\x00")[:3],
}.items():
    write("atr", name, data)

# readerscript's parser: a script file's text.
for name, text in {
    "empty": "",
    "session": "# a session\nversion\nSTAT =01 01\ninsert 0\n"
               "com 0 00a40400023f00 =9000  # select\nreq 0 00 C0 00 00 04 =* 90 00\n"
               "req 0 00C0000002 =61??\necho 20 64\ndelay 10\noff 0 5000\n",
    "bare_expectation": "req 1 00C0000004 =\nstat =\n",
    "runs_and_wildcards": "req 0 00C0000010 =** 0? ?1 * 90 00 *\n",
    "errors": "frobnicate\ncom 0 00A4040002 3F\nreq 0 00C000001G\nstat =9?0\n"
              "insert 2\necho 10\n= 9000\ndelay -1\nversion =0100\n",
    "crlf_and_tabs": "version\r\n\tinsert\t1\t300\r\noff 1\r\n",
    "nul_in_line": "version\0 x\nstat\n",
}.items():
    write("script", name, text.encode())


# MapApdu: the input is the APDU an application hands pcscd.
for name, apdu in {
    "empty": b"",
    "three_bytes": bytes.fromhex("00A400"),
    "case_1": bytes.fromhex("00A40000"),
    "case_2": bytes.fromhex("00C000001C"),
    "case_2_le_256": bytes.fromhex("00B0000000"),
    "case_3": bytes.fromhex("00A40400023F00"),
    "case_4": bytes.fromhex("00A40000022F0000"),
    "case_3_255": bytes.fromhex("00D60000FF") + bytes(255),
    "case_4_255": bytes.fromhex("00D60000FF") + bytes(256),
    "extended_case_2": bytes.fromhex("00B0000000FFFF"),
    "extended_case_3": bytes.fromhex("00D60000000002AABB"),
    "lc_too_long": bytes.fromhex("00A4040002"),
    "lc_too_short": bytes.fromhex("00A40400013F0000"),
}.items():
    write("tpdu", name, apdu)


# rfc2217::Stream: byte 0's bit 0 says whether the client opened the stream
# first; the rest is what the server sends.
IAC, WILL, WONT, DO, DONT, SB, SE = 255, 251, 252, 253, 254, 250, 240


def sub(code, value, option=44):
    escaped = bytes(value).replace(b"\xff", b"\xff\xff")
    return bytes([IAC, SB, option]) + bytes([code]).replace(b"\xff", b"\xff\xff") + escaped + \
        bytes([IAC, SE])


ser2net_opening = bytes([IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 1, IAC, DONT, 1, IAC, DO, 0,
                         IAC, WILL, 0, IAC, DO, 44])
ser2net_answers = (sub(107, [0xBB]) + sub(106, [0]) + sub(101, [0, 0, 0x25, 0x80]) +
                   sub(102, [8]) + sub(103, [1]) + sub(104, [1]) + sub(105, [1]) + sub(105, [9]) +
                   sub(105, [12]))
for name, stream in {
    "empty": b"",
    "ser2net_opening": b"\x01" + ser2net_opening + ser2net_answers,
    "unopened_client": b"\x00" + ser2net_opening,
    "ser2net_refusal": b"\x01" + ser2net_opening + b"Port already in use\r\n",
    "data_with_ff": b"\x00ab" + bytes([IAC, IAC]) + b"c" + bytes([IAC, IAC] * 3),
    "values_with_ff": b"\x01" + sub(107, [0xFF]) + sub(101, [0, 0, 0xFF, 0xFF]) + b"x" +
                      sub(0xFF, [0xFF, 0xFF]),
    "data_between_answers": b"\x01" + b"stale" + sub(112, [1]) + b"fresh" + sub(106, [0x08]),
    "cut_subnegotiation": b"\x00" + bytes([IAC, SB, 44, 101, 0, IAC, WILL, 0]) + b"data" +
                          bytes([IAC, SB, 44, 7, IAC, SB, 44, 107, 0x20, IAC, SE]),
    "trailing_iac": b"\x00abc" + bytes([IAC]),
    "trailing_sub": b"\x00" + bytes([IAC, SB, 44, 101, 0, 0, IAC]),
    "other_option": b"\x00" + sub(1, b"VT100", option=24) + b"z",
    "commands": b"\x00" + bytes([IAC, 241, IAC, 249, IAC, 242, IAC, SE, IAC, 0]) + b"q",
    "negotiation_flips": b"\x01" + bytes([IAC, DO, 1, IAC, DO, 1, IAC, DONT, 0, IAC, DO, 0,
                                          IAC, WILL, 5, IAC, WONT, 3, IAC, WILL, 3, IAC, DONT, 44,
                                          IAC, DO, 44, IAC, WONT, 0, IAC, WILL, 0]),
    "long_value": b"\x00" + sub(100, b"ser2net v4.3.11 " * 8),
    "encoder_items": b"\x00" + bytes([SB, 101, 4, 0, 0, 0x25, 0x80, 0x41, SB, 0xFF, 9, 0xFF,
                                      0xFF, IAC, 0x42, SB, 7]),
}.items():
    write("rfc2217", name, stream)
