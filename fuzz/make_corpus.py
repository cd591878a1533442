#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

The seeds are the cases a reader of the code would try first; the fuzzer
grows its own corpus from them. Run it again after changing an input format.
"""
import pathlib
import random
import struct

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"


def write(target, name, data):
    folder = ROOT / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


# --- weight_path: DecPoint, MinFixVes, options, then length-prefixed replies ---
def weight_path(name, replies, dec_point=1, min_fix_ves=50, comma=False, host_decodes=False):
    options = (1 if comma else 0) | (2 if host_decodes else 0)
    data = struct.pack("<hhB", dec_point, min_fix_ves, options)
    for reply in replies:
        data += bytes([len(reply)]) + reply
    write("weight_path", name, data)


def orva1(field):
    return b"\x02WW" + field + b"kg\r\n"


def line(field):
    """A frame without prefix or unit, closed by the terminal's line end."""
    return b"WW" + field + b"\r\n"


def orva2(*digits):
    return bytes(digits)


weight_path("loading_settles", [orva1(b"  0.000")] * 2 + [orva1(b" 12.500")] * 4 + [orva1(b"  0.000")])
weight_path("orva2_decpoint2", [orva2(5, 4, 3, 2, 1, 0)] * 4, dec_point=2)
weight_path("orva2_nines", [orva2(9, 9, 9, 9, 9, 9)] * 3, dec_point=3)
weight_path("orva2_decpoint0_trailing", [orva2(0, 0, 0, 0, 0, 0) + b"tail", orva2(9, 9, 9, 9, 9, 9)], dec_point=0)
weight_path("comma_locale", [line(b"0012,50"), line(b"0012.50"), line(b"0012.50")], comma=True)
weight_path("marker_edges", [b"abcWW -1.75kg", b"WW", b"WWWW123", b"xxWW", b"WW12.5\r\n", b"\x02WW   1"])
weight_path("unrecognised", [b"ww1234567", b"", orva2(1, 2, 3, 10, 0, 0), b"12345"])
weight_path("bad_reply_between", [orva1(b" 10.000"), b"\xff\xfe", orva1(b" 10.000"), orva1(b" 10.000")], min_fix_ves=0)
weight_path("below_minimum_then_load", [line(b"0.2"), line(b"3.5"), line(b"3.5"), line(b"3.5"), line(b"3.5")], min_fix_ves=500)
weight_path("host_decodes_too", [orva1(b" 10.000")] * 3, host_decodes=True)
weight_path("number_notations", [line(b"1E5"), line(b"&H7FF"), line(b"-2D-3"), line(b"&O777"), line(b" 1 2 3")])
weight_path("negative_minimum", [line(b"-5"), line(b"-5"), line(b"-5"), line(b"-10")], min_fix_ves=-10000)
weight_path("window_broken", [line(b"10"), line(b"10"), line(b"11"), line(b"11"), line(b"11"), line(b"11")], min_fix_ves=0)
weight_path("extreme_decpoint", [orva2(1, 0, 0, 0, 0, 0), orva2(9, 9, 9, 9, 9, 9)], dec_point=-300)

# --- property_bag: per key a tag (0 absent, 1 empty, 2 bool, 3 int32, 4 double, 5 text) ---
KEYS = 8


def absent():
    return b"\x00"


def empty():
    return b"\x01"


def boolean(value):
    return b"\x02" + bytes([1 if value else 0])


def integer(value):
    return b"\x03" + struct.pack("<i", value)


def double(value):
    return b"\x04" + struct.pack("<d", value)


def text(value):
    raw = value.encode("utf-8") if isinstance(value, str) else value
    return b"\x05" + bytes([len(raw)]) + raw


def property_bag(name, *fields, held=False):
    fields = list(fields) + [absent()] * (KEYS - len(fields))
    write("property_bag", name, b"".join(fields) + (b"\x01" if held else b""))


property_bag("all_absent")
property_bag("all_defaults", integer(50), integer(1), text("9600,n,8,1"), text("1"), text("XXXX"),
             text("No Connect"), text("X"), text("kg"))
property_bag("saved_after_decode", integer(500), integer(2), text("19200,e,7,2"), text("3"), text(" 12.5"),
             text("ORVA-1"), text("B"), text("kg"))
property_bag("overflow_first", integer(40000), integer(2), text("4800,n,8,1"))
property_bag("mismatch_second", integer(10), text("abc"), text("4800,n,8,1"))
property_bag("rounded_numbers", double(2.5), double(-3.5), double(1.5), double(12.25))
property_bag("number_texts", text(" 12 "), text("&H7FFF"), integer(3), integer(-7))
property_bag("booleans", boolean(True), boolean(False), boolean(True), boolean(False), boolean(True))
property_bag("empty_values", empty(), empty(), empty(), empty(), empty(), empty(), empty(), empty())
property_bag("nan_decpoint", integer(1), double(float("nan")))
property_bag("cyrillic_texts", integer(0), integer(0), text("сом порт"), text("\x00\xff"), text("Вес"))
property_bag("exponent_text", text("1E3"), text("-32768.4"), text(""), text(" "))
property_bag("held_values_then_failure", integer(500), text("many"), text("4800,n,8,1"), held=True)
property_bag("held_values_then_load", absent(), integer(2), absent(), text("5"), held=True)
property_bag("numbers_outside_first", double(1e10), integer(2), text("4800,n,8,1"))
property_bag("numbers_outside_second", integer(7), double(-40000.0), text("4800,n,8,1"), held=True)
property_bag("infinity_decpoint", integer(7), double(float("-inf")), text("4800,n,8,1"))
property_bag("huge_double_text_field", integer(1), integer(1), double(1e300), double(-0.0), double(float("inf")))

# --- number_text: the first 8 bytes as a weight (and DecPoint), the whole input as text ---
def number_text(name, data):
    write("number_text", name, data)


number_text("weight_12_5", struct.pack("<d", 12.5) + b"  12.500")
number_text("negative_field", b"-1.75kg")
number_text("hex_octal", b"&H1F &o17")
number_text("exponent", b"1E+20")
number_text("d_exponent", b"1D-3")
number_text("comma_ends", b"0012,50")
number_text("orva2_frame", b"\x05\x04\x03\x02\x01\x00")
number_text("settings", b"9600,n,8,1")
number_text("port_number", b" 3 ")
number_text("dangling_exponent", b"1.5E")
number_text("tiny_weight", struct.pack("<d", 5e-324))
number_text("huge_weight", struct.pack("<d", 1.7976931348623157e308))

# --- property_file: the whole file as a host keeps it ---
def property_file(name, text):
    write("property_file", name, text.encode("utf-8") if isinstance(text, str) else text)


SAVED = ('# Weighing terminal control properties\n'
         'MinFixVes = 50\nDecPoint = 1\nComSetting = "9600,n,8,1"\nComNumber = "1"\n'
         'VesTerminal = " 12.5"\nTipTerminal = "ORVA-1"\nStatusTerminal = "B"\nUnitWeight = "kg"\n')
property_file("saved_document", SAVED)
property_file("empty", "")
property_file("comments_only", "# nothing here\n\n   \n# still nothing\n")
property_file("unknown_keys_kept", 'Caption = "Scale 2"\nMinFixVes = 500\nColour = 255\nRatio = 1.5e3\n')
property_file("escapes", 'ComSetting = "a\\"b\\\\c\\n\\r\\t\\x00\\x7F"\nUnitWeight = "\xd0\xba\xd0\xb3"\n')
property_file("line_without_equals", "MinFixVes 50\n")
property_file("duplicate_key", "DecPoint = 1\nDecPoint = 2\n")
property_file("overflow", "MinFixVes = 40000\nDecPoint = 3\n")
property_file("bare_word", "DecPoint = two\n")
property_file("rounded_double", "MinFixVes = 2.5\nDecPoint = -3.5\n")
property_file("integer_for_text", "ComNumber = 3\nComSetting = 1.5\nVesTerminal = True\n")
property_file("unterminated_string", 'ComSetting = "9600,n,8,1\n')
property_file("crlf", SAVED.replace("\n", "\r\n"))
property_file("bad_escape", 'UnitWeight = "\\q"\nTipTerminal = "\\x4"\n')

# --- poll_cycle: operations, each an opcode, a count of clock actions after it, a payload ---
INJECT, FRAME, SILENT, UNPLUG, REPLUG, COM_NUMBER, COM_SETTING, REFUSE, PORT_EXISTS, FAIL_OPEN, TERMINAL_PORT, \
    COM_NUMBER_INT = range(12)


def op(code, actions=3, payload=b""):
    return bytes([code, actions]) + payload


def chunk(raw):
    raw = raw.encode("utf-8") if isinstance(raw, str) else raw
    return bytes([len(raw)]) + raw


def poll_cycle(name, *ops):
    write("poll_cycle", name, b"".join(ops))


poll_cycle("steady")
poll_cycle("refused_settings", op(REFUSE, 0, chunk("4800,e,7,2")), op(COM_SETTING, 3, chunk("4800,e,7,2")))
poll_cycle("taken_settings", op(COM_SETTING, 3, chunk("19200,n,8,1")), op(COM_SETTING, 3, chunk("9600,n,8,1")))
poll_cycle("missing_port", op(PORT_EXISTS, 0, bytes([3])), op(COM_NUMBER, 3, chunk("3")), op(COM_NUMBER, 3, chunk("1")))
poll_cycle("unplug_replug", op(UNPLUG, 3), op(SILENT, 3), op(REPLUG, 3), op(FRAME, 3, chunk(b"\x02WW  2.000kg")))
poll_cycle("bad_numbers", op(COM_NUMBER, 3, chunk("COM2")), op(COM_NUMBER, 3, chunk("0")),
           op(COM_NUMBER, 3, chunk("40000")), op(COM_NUMBER, 3, chunk("1.5")), op(COM_NUMBER, 3, chunk(" 3")))
poll_cycle("bad_settings", op(COM_SETTING, 3, chunk("bogus")), op(COM_SETTING, 3, chunk("")),
           op(COM_SETTING, 3, chunk("9600,N,8,1")))
poll_cycle("port_busy", op(FAIL_OPEN, 0, bytes([1])), op(COM_NUMBER, 3, chunk("2")), op(FAIL_OPEN, 3, bytes([0])))
poll_cycle("flood", *[op(INJECT, 1, chunk(bytes(range(255)))) for _ in range(6)])
poll_cycle("terminal_moves", op(TERMINAL_PORT, 0, bytes([2])), op(COM_NUMBER_INT, 3, b"\x02\x00"))
poll_cycle("negative_port", op(COM_NUMBER_INT, 3, b"\xfb\xff"))
poll_cycle("orva2_terminal", op(FRAME, 3, chunk(bytes([5, 4, 3, 2, 1, 0]))), op(UNPLUG, 1), op(REPLUG, 3))


# --- split_frames: the choices of the stream generator, a byte each ---
# The first choice picks the format (odd: ORVA-2), the rest shape the
# stream and its cuts; seeded random bytes reach every shape.
for seed in range(8):
    rng = random.Random(seed)
    data = bytearray(rng.randbytes(300))
    data[0] = seed % 2  # both formats
    write("split_frames", f"stream_{'orva2' if seed % 2 else 'orva1'}_{seed}", bytes(data))


# --- terminal_line: the choices of the terminal generator, a byte each ---
# Format (0: ORVA-1), trailer (0..6), padding, check key, pairs (0: two
# frames at once), asked (0) or unasked, then the rest, seeded: each format
# and trailer with each way of sending.
for orva2 in range(2):
    for trailer in range(7):
        for asked in range(2):
            rng = random.Random(100 + orva2 * 20 + trailer * 2 + asked)
            data = bytearray(rng.randbytes(120))
            data[0], data[1], data[4], data[5] = orva2, trailer, 1 + (trailer == 3), asked
            kind = "orva2" if orva2 else "orva1"
            write("terminal_line", f"{kind}_trailer{trailer}_{'asked' if asked == 0 else 'unasked'}", bytes(data))
