#!/usr/bin/env python3
"""Writes the generated inputs of the fuzz corpus.

    make_corpus.py            rewrites the stored inputs under tests/corpus/<target>/ (each a few
                              bytes to about 100 KB); files it does not name, such as inputs a
                              fuzzer found, are left alone
    make_corpus.py --deep DIR writes the nesting inputs too large to store (up to 15 MB) into
                              DIR/<target>/; the build runs this, and the replay tests read both

Targets: bplist (CParseBplist), cfplist (CFPropertyListCreateWithData), json (CJson::Parse).
Every input is built byte by byte here or written by Python's plistlib, a writer independent of
the code under test, so the corpus can be rebuilt and reviewed.
"""

import argparse
import datetime
import os
import plistlib
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def be(value, width):
    """value as a big-endian unsigned integer of width bytes (higher bits dropped)."""
    return (value & ((1 << (8 * width)) - 1)).to_bytes(width, "big")


class Bplist:
    """Assembles a bplist00 buffer object by object, with chosen reference and offset widths
    (offset width 0: the smallest that holds every offset)."""

    def __init__(self, ref_size=1, offset_size=0):
        self.ref_size = ref_size
        self.offset_size = offset_size
        self.objects = []

    def raw(self, data):
        self.objects.append(bytes(data))
        return len(self.objects) - 1

    def replace(self, index, data):
        self.objects[index] = bytes(data)

    @staticmethod
    def header(kind, count):
        if count < 15:
            return bytes([kind | count])
        power = 0 if count <= 0xFF else 1 if count <= 0xFFFF else 2
        return bytes([kind | 0x0F, 0x10 | power]) + be(count, 1 << power)

    def ascii(self, text):
        data = text.encode("ascii")
        return self.raw(self.header(0x50, len(data)) + data)

    def integer(self, value):
        power = 0
        while power < 3 and value >> (8 << power):
            power += 1
        return self.raw(bytes([0x10 | power]) + be(value, 1 << power))

    def boolean(self, value):
        return self.raw(b"\x09" if value else b"\x08")

    def array_bytes(self, refs):
        return self.header(0xA0, len(refs)) + b"".join(be(r, self.ref_size) for r in refs)

    def dict_bytes(self, entries):
        return (self.header(0xD0, len(entries)) + b"".join(be(k, self.ref_size) for k, _ in entries) +
                b"".join(be(v, self.ref_size) for _, v in entries))

    def array(self, refs):
        return self.raw(self.array_bytes(refs))

    def dict(self, entries):
        return self.raw(self.dict_bytes(entries))

    def build(self, top, table_shift=0):
        out = bytearray(b"bplist00")
        offsets = []
        for obj in self.objects:
            offsets.append(len(out) + table_shift)
            out += obj
        table = len(out)
        size = self.offset_size
        if size == 0:
            size = 1
            while size < 8 and max(offsets + [table]) >> (8 * size):
                size += 1
        for offset in offsets:
            out += be(offset, size)
        out += bytes(6) + bytes([size, self.ref_size])
        out += be(len(self.objects), 8) + be(top, 8) + be(table, 8)
        return bytes(out)


# Trailer fields, as positions from the end of the buffer, and their widths.
OFFSET_SIZE, REF_SIZE, COUNT, TOP, TABLE = 26, 25, 24, 16, 8


def patch_trailer(data, field, value):
    width = 1 if field in (OFFSET_SIZE, REF_SIZE) else 8
    out = bytearray(data)
    at = len(out) - field
    out[at:at + width] = be(value, width)
    return bytes(out)


def patch_offset_entry(data, index, value):
    out = bytearray(data)
    width = out[-OFFSET_SIZE]
    table = int.from_bytes(out[-TABLE:], "big")
    at = table + index * width
    out[at:at + width] = be(value, width)
    return bytes(out)


def chain(levels, dictionaries=False, ref_size=4, offset_size=4):
    """Containers nested levels deep, each holding the next; the last holds the string "leaf"."""
    p = Bplist(ref_size, offset_size)
    key = p.ascii("k")
    leaf = p.ascii("leaf")
    first = key + 2
    for i in range(levels):
        nxt = first + i + 1 if i + 1 < levels else leaf
        if dictionaries:
            p.dict([(key, nxt)])
        else:
            p.array([nxt])
    return p.build(first)


def empty_chain(levels, ref_size=4, offset_size=4):
    """Arrays nested levels deep: object i holds object i + 1, the last one is empty."""
    p = Bplist(ref_size, offset_size)
    for i in range(levels - 1):
        p.array([i + 1])
    p.array([])
    return p.build(0)


def garbage(count, seed=12345):
    out = bytearray()
    for _ in range(count):
        seed = (seed * 1103515245 + 12345) & 0xFFFFFFFF
        out.append(seed >> 24)
    return bytes(out)


def nested_xml(depth, open_tag, close_tag):
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">' + open_tag * depth + close_tag * depth +
            "</plist>\n").encode()


# ---- Values written by plistlib ----

def ringtone_catalogue():
    return {
        "Ringtones": {
            "ABCD.m4r": {"Name": "Morning Bell", "GUID": "5E4C1B2A9F3D7E01", "PID": 2427178479,
                         "Total Time": 30000, "Protected Content": False},
            "EFGH.m4r": {"Name": "\u6668\u66e6", "GUID": "0A1B2C3D4E5F6071", "PID": 4242,
                         "Total Time": 21500, "Protected Content": True},
        }
    }


def every_kind():
    return {
        "name": "Ringtone \u266b \u65e5\u672c \U0001F3B5",
        "count": -5,
        "min": -(1 << 63),
        "max": (1 << 63) - 1,
        "ratio": -0.25,
        "on": True,
        "off": False,
        "blob": b"\x00\x01\xff",
        "list": [1, "two", [], {}],
        "when": datetime.datetime(2001, 1, 1),
        "escaped": "<&>\"'",
    }


# ---- Stored inputs, by target ----

def bplist_inputs():
    files = {}
    # Seeds written by other writers: a ringtone catalogue and a list of every kind of value
    # (as the earlier fuzz script carried them), and the same shapes from plistlib.
    files["seed-catalogue.bplist"] = bytes.fromhex(
        "62706c6973743030d101025952696e67746f6e6573d20304051058414243442e6d347258454647482e6d3472d5060708"
        "090a0b0c0d0e0f5447554944544e616d65535049445f101150726f74656374656420436f6e74656e745a546f74616c20"
        "54696d655f1010354534433142324139463344374530315c4d6f726e696e672042656c6c131234567890abcdef081175"
        "30d5060708090a11121314155f10103041314232433344344535463630373162666866e6111092091153fc080b151a23"
        "2c373c4145596477848d8e919cafb4b7b800000000000001010000000000000016000000000000000000000000000000"
        "bb")
    files["seed-values.bplist"] = bytes.fromhex(
        "62706c6973743030ad0102030405060708090a0d0e100908233ff800000000000013fffffffffffffff9130000010000"
        "0000004564610074615f101478787878787878787878787878787878787878783340f51800000000008003d10b0c516b"
        "a0d0a10f536f6e65a21115a212131001a1141002100308161718212a333950595b5e60616264686b6e70727400000000"
        "00000101000000000000001600000000000000000000000000000076")
    files["seed-plistlib-catalogue.bplist"] = plistlib.dumps(ringtone_catalogue(), fmt=plistlib.FMT_BINARY)
    files["seed-plistlib-every-kind.bplist"] = plistlib.dumps(every_kind(), fmt=plistlib.FMT_BINARY)
    files["seed-plistlib-uid.bplist"] = plistlib.dumps({"$top": {"root": plistlib.UID(1)}}, fmt=plistlib.FMT_BINARY)
    many = {"k%d" % i: i * 1000 for i in range(300)}
    files["seed-plistlib-300-entries.bplist"] = plistlib.dumps(many, fmt=plistlib.FMT_BINARY)

    # Shared objects that describe an exponentially large tree in a few hundred bytes.
    p = Bplist()
    nxt = p.ascii("x")
    for _ in range(16):
        nxt = p.array([nxt] * 15)
    files["bomb-arrays-15-refs-16-levels.bplist"] = p.build(nxt)
    p = Bplist()
    a, b = p.ascii("a"), p.ascii("b")
    nxt = p.ascii("x")
    for _ in range(40):
        nxt = p.dict([(a, nxt), (b, nxt)])
    files["bomb-dicts-2-refs-40-levels.bplist"] = p.build(nxt)
    p = Bplist(2, 4)
    big = p.ascii("s" * 60000)
    files["bomb-string-60000-bytes-10000-refs.bplist"] = p.build(p.array([big] * 10000))

    # Deep nesting in the smallest encoding (the 100000-level chains are generated at build time).
    files["deep-arrays-10000.bplist"] = chain(10000, False, 2, 2)
    files["deep-dicts-6000.bplist"] = chain(6000, True, 2, 2)
    files["nesting-300-dicts.bplist"] = chain(300, True, 2, 2)

    # Cycles.
    p = Bplist()
    me = p.raw(b"")
    x = p.ascii("x")
    p.replace(me, p.array_bytes([me, x, me]))
    files["cycle-array-holds-itself.bplist"] = p.build(me)
    p = Bplist()
    d = p.raw(b"")
    k = p.ascii("k")
    p.replace(d, p.dict_bytes([(k, d), (d, k)]))
    files["cycle-dict-is-its-own-key-and-value.bplist"] = p.build(d)
    p = Bplist()
    a, b, c = p.raw(b""), p.raw(b""), p.raw(b"")
    z = p.ascii("z")
    p.replace(a, p.array_bytes([b]))
    p.replace(b, p.array_bytes([c, z]))
    p.replace(c, p.array_bytes([a, z]))
    files["cycle-three-arrays.bplist"] = p.build(a)

    # A small valid list [1, "x"] with one thing broken at a time.
    def base():
        p = Bplist()
        one, x = p.integer(1), p.ascii("x")
        p.ascii("spare")
        return p.build(p.array([one, x]))

    broken = {
        "trailer-offset-size-0": (OFFSET_SIZE, 0),
        "trailer-offset-size-9": (OFFSET_SIZE, 9),
        "trailer-ref-size-0": (REF_SIZE, 0),
        "trailer-ref-size-200": (REF_SIZE, 200),
        "trailer-count-0": (COUNT, 0),
        "trailer-count-2p32-minus-1": (COUNT, 0xFFFFFFFF),
        "trailer-count-one-past-table": (COUNT, 5),
        "trailer-count-high-bits": (COUNT, 0xAB00000004),
        "trailer-top-equals-count": (TOP, 4),
        "trailer-top-2p32-minus-1": (TOP, 0xFFFFFFFF),
        "trailer-top-high-bits": (TOP, 0x0100000001),
        "trailer-table-beyond-buffer": (TABLE, 0xFFFFFFF0),
        "trailer-table-into-trailer": (TABLE, len(base()) - 32 - 3),
    }
    for name, (field, value) in broken.items():
        files[name + ".bplist"] = patch_trailer(base(), field, value)
    files["offset-equal-to-length.bplist"] = patch_offset_entry(base(), 1, len(base()))
    files["offset-beyond-buffer.bplist"] = patch_offset_entry(base(), 0, 0xFF)
    p = Bplist(1, 4)
    one, x = p.integer(1), p.ascii("x")
    files["offset-negative-in-32-bits.bplist"] = patch_offset_entry(p.build(p.array([one, x])), 0, 0xFFFFFFF0)
    p = Bplist()
    one = p.integer(1)
    files["ref-beyond-count.bplist"] = p.build(p.array([one, 99, one]))
    p = Bplist()
    k, v = p.ascii("k"), p.ascii("v")
    files["dict-value-ref-beyond-count.bplist"] = p.build(p.dict([(k, 99), (k, v)]))
    p = Bplist(8, 1)
    p.integer(1)
    files["ref-8-bytes-high-bits.bplist"] = p.build(
        p.raw(b"\xA2" + be(0xFFFFFFFF00000000, 8) + be(0x00000001FFFFFFFF, 8)))

    # Objects whose sizes overflow or run past the buffer, behind a valid first element.
    oversized = {
        "integer-2p15-bytes": b"\x1F\x00",
        "array-2p32-minus-1-elements": b"\xAF\x12\xFF\xFF\xFF\xFF\x00",
        "dict-2p31-entries": b"\xDF\x12\x80\x00\x00\x00\x00\x00",
        "ascii-2p31-bytes": b"\x5F\x12\x80\x00\x00\x00a",
        "utf16-byte-size-wraps-32-bits": b"\x6F\x12\x80\x00\x00\x01\x00a",
        "extended-count-2p15-bytes": b"\x5F\x1F\x00",
        "real-of-16-bytes": b"\x24" + bytes(8),
        "date-cut-short": b"\x33\x41",
        "utf16-odd-surrogate": b"\x61\xD8\x00",
    }
    for name, obj in oversized.items():
        p = Bplist()
        one = p.integer(1)
        files[name + ".bplist"] = p.build(p.array([one, p.raw(obj)]))
    p = Bplist(8)
    one = p.integer(1)
    files["array-refs-wrap-32-bits.bplist"] = p.build(
        p.array([one, p.raw(b"\xAF\x12\x20\x00\x00\x01" + be(0, 8))]))

    # A payload that ends on the buffer's last byte (the trailer's own bytes read as objects).
    table = 0x1010
    data = bytearray(b"bplist00\xA2\x00\x01")
    data += bytes(table - len(data))
    length = table + 3 * 2 + 32
    data += be(length - 2, 2) + be(length - 1, 2) + be(8, 2)
    data += bytes(6) + bytes([2, 1]) + be(3, 8) + be(2, 8) + be(table, 8)
    files["payload-up-to-last-byte.bplist"] = bytes(data)

    # Truncations of a real list, and inputs too short for a trailer.
    catalogue = files["seed-plistlib-catalogue.bplist"]
    for cut in (1, 16, 33, len(catalogue) // 2):
        files["truncated-catalogue-minus-%d.bplist" % cut] = catalogue[:-cut]
    files["short-31-bytes.bplist"] = catalogue[-31:]
    files["empty"] = b""
    return files


def cfplist_inputs():
    files = {}
    sample_xml = plistlib.dumps(every_kind(), fmt=plistlib.FMT_XML)
    sample_bin = plistlib.dumps(every_kind(), fmt=plistlib.FMT_BINARY)
    files["seed-every-kind.xml"] = sample_xml
    files["seed-every-kind.bplist"] = sample_bin
    files["seed-catalogue.xml"] = plistlib.dumps(ringtone_catalogue(), fmt=plistlib.FMT_XML)
    files["seed-catalogue.bplist"] = plistlib.dumps(ringtone_catalogue(), fmt=plistlib.FMT_BINARY)
    files["seed-vend-container.xml"] = plistlib.dumps(
        {"Command": "VendContainer", "Identifier": "com.mrz4.ringtone.pid40ch1"}, fmt=plistlib.FMT_XML)
    files["seed-device-list.bplist"] = plistlib.dumps({
        "DeviceList": [{"MessageType": "Attached", "DeviceID": 3, "Properties": {
            "DeviceID": 3, "SerialNumber": "00008030-001A2B3C4D5E6F70", "ConnectionType": "USB",
            "ProductID": 4776, "LocationID": 0, "ConnectionSpeed": 480000000}}]}, fmt=plistlib.FMT_BINARY)
    files["seed-doctype-comment-unicode.xml"] = (
        '<?xml version="1.0" encoding="UTF-8"?>\n'
        '<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">\n'
        '<plist version="1.0">\n<dict>\n'
        '  <key>Name</key><string>M\u00e9lodie \u266b \u65e5\u672c \U0001F3B5 &lt;1&gt;</string>\n'
        '  <!-- a comment is not a value -->\n'
        '  <key>Delta</key><integer>-5</integer>\n'
        '  <key>Lowest</key><integer>-9223372036854775808</integer>\n'
        '  <key>\u30ad\u30fc</key><array><true/><real>1.5</real><data>AAH/</data><dict/></array>\n'
        '</dict>\n</plist>\n').encode()

    xml = {
        "xml-truncated": sample_xml[:len(sample_xml) // 2],
        "xml-not-xml": b"this is not a property list",
        "xml-wrong-root": b'<?xml version="1.0"?><html><body/></html>',
        "xml-unknown-element": b'<plist version="1.0"><ringtone/></plist>',
        "xml-empty-plist": b'<plist version="1.0"></plist>',
        "xml-unclosed-dict": b'<plist version="1.0"><dict><key>a</key><true/>',
        "xml-mismatched-end-tag": b'<plist version="1.0"><array><true/></dict></plist>',
        "xml-unterminated-comment": b'<plist version="1.0"><!-- <array>',
        "xml-unterminated-cdata": b'<plist version="1.0"><string><![CDATA[abc</string></plist>',
        "xml-string-not-utf8": b'<plist version="1.0"><string>caf\xe9</string></plist>',
        "xml-key-without-value": b'<plist version="1.0"><dict><key>a</key></dict></plist>',
        "xml-value-without-key": b'<plist version="1.0"><dict><true/></dict></plist>',
        "xml-bad-base64": b'<plist version="1.0"><data>!!!=</data></plist>',
        "xml-integer-overflow": b'<plist version="1.0"><integer>99999999999999999999999</integer></plist>',
        "xml-date-far-future": b'<plist version="1.0"><date>9999-12-31T23:59:59Z</date></plist>',
        "xml-date-garbage": b'<plist version="1.0"><date>yesterday</date></plist>',
        "xml-bad-entities": b'<plist version="1.0"><string>&#xD800;&bogus;&#99999999;&</string></plist>',
        "xml-tag-at-end": b'<plist version="1.0"><array><',
        "xml-512-arrays": nested_xml(512, "<array>", "</array>"),
        "xml-513-arrays": nested_xml(513, "<array>", "</array>"),
        "xml-512-dicts": nested_xml(512, "<dict><key>k</key>", "</dict>"),
        "xml-513-dicts": nested_xml(513, "<dict><key>k</key>", "</dict>"),
        "deep-xml-arrays-6000": nested_xml(6000, "<array>", "</array>"),
        "deep-xml-arrays-end-tags-in-comments-3000": nested_xml(3000, "<array><!--</array>-->", "</array>"),
    }
    for name, data in xml.items():
        files[name + ".xml"] = data

    p = Bplist()
    p.array([1])
    p.array([0])
    cycle = p.build(0)
    p = Bplist()
    for i in range(64):
        p.array([i + 1, i + 1])
    p.boolean(True)
    doubling = p.build(0)
    p = Bplist()
    p.array([1])
    p.boolean(True)
    shifted = p

    binary = {
        "bin-garbage": garbage(4096),
        "bin-magic-then-garbage": b"bplist00" + garbage(4096),
        "bin-truncated": sample_bin[:-10],
        "bin-offsets-beyond-table": shifted.build(0, 1000),
        "bin-root-out-of-range": shifted.build(7),
        "bin-cycle": cycle,
        "bin-refs-doubling-64-levels": doubling,
        "bin-512-arrays": empty_chain(512),
        "bin-513-arrays": empty_chain(513),
        "deep-bin-arrays-10000": empty_chain(10000, 2, 2),
        "bin-uid": plistlib.dumps({"$top": {"root": plistlib.UID(1)}}, fmt=plistlib.FMT_BINARY),
    }
    # An ASCII string object holding bytes that are not ASCII (or UTF-8).
    p = Bplist()
    binary["bin-ascii-string-not-utf8"] = p.build(p.raw(b"\x54caf\xe9"))
    # Dates libplist keeps as 32-bit seconds: out of range, and not a number.
    p = Bplist()
    binary["bin-date-out-of-range"] = p.build(p.raw(b"\x33" + struct.pack(">d", 1e300)))
    p = Bplist()
    binary["bin-date-nan"] = p.build(p.raw(b"\x33" + struct.pack(">d", float("nan"))))
    p = Bplist()
    binary["bin-real-infinity"] = p.build(p.raw(b"\x23" + struct.pack(">d", float("inf"))))
    # A dictionary whose key is not a string.
    p = Bplist()
    one = p.integer(1)
    binary["bin-dict-integer-key"] = p.build(p.dict([(one, one)]))
    # Strings holding U+0000, which libplist 2.2 keeps but then aborts on when they are read:
    # the two a fuzzer found (a value, a dictionary key) and the same in an ASCII string.
    binary["found-utf16-string-with-nul"] = bytes.fromhex(
        "62706c6973743030620061000008000000000000010100000000000000010000000000000000000000000000000d")
    binary["found-utf16-key-with-nul"] = bytes.fromhex(
        "62706c69737430306100001001d10001080b0d0000000000000101000000000000000300000000000000020000000000000010")
    p = Bplist()
    binary["bin-ascii-string-with-nul"] = p.build(p.raw(b"\x53a\x00b"))
    for name, data in binary.items():
        files[name + ".bplist"] = data
    # Raw NUL bytes inside an XML string (found by a fuzzer in a house_arrest request).
    files["found-xml-string-with-nul-byte.xml"] = (
        '<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict><key>Identifier</key>'
        '<string>com.mrz4.ringtone.pid40\x00\x00ch1</string></dict></plist>').encode()
    for name, entity in (("decimal", "&#0;"), ("hex", "&#x0;"), ("padded", "&#x0000;")):
        files["xml-string-nul-" + name + ".xml"] = (
            '<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict><key>k</key><string>a'
            + entity + 'b</string></dict></plist>').encode()
    return files


def json_inputs():
    files = {}
    seeds = {
        "seed-request": '[{"Sign":"17","Command":"getring"}]',
        "seed-object": '{"a":1,"b":"x"}',
        "seed-array-member": '{"k":[1,2,3]}',
        "seed-objects-in-array": '{"k":[{"a":1},{"a":2}]}',
        "seed-object-member": '{"k":{"a":1,"b":2}}',
        "seed-escapes": '{"p":"C:\\\\dir\\\\f","q":"say \\"hi\\""}',
        "seed-values": '{"b":true,"d":1.5,"n":2147483648,"z":0,"neg":-7,"e":""}',
        "seed-response": ('{"Sign":17,"Command":"getring","Ringtones":[{"Name":"Morning Bell",'
                          '"GUID":"5E4C1B2A9F3D7E01","Total Time":30000},{"Name":"\u6668\u66e6",'
                          '"GUID":"0A1B2C3D4E5F6071","Total Time":21500}]}'),
        "seed-white-space": ' \n{"a": "b",\t"c" : [ 1 , 2 ] }\r\n',
    }
    for name, text in seeds.items():
        files[name + ".json"] = text.encode()

    hard = {
        "deep-brackets-5000": "[" * 5000 + "]" * 5000,
        "deep-objects-2000": '{"a":' * 2000 + "1" + "}" * 2000,
        "deep-mixed-1001": '[{"k":' * 1001 + '"v"' + "}]" * 1001,
        "deep-unclosed-8000": "{[" * 8000,
        "unbalanced": '{{{{]]]]}"a":}[',
        "closers-only": "]]]]}}}}",
        "quote-soup": '"""":::,,,"\\"\\\\"',
        "commas-10000": "," * 10000,
        "colons-10000": ":" * 10000,
        "members-5000": "{" + ",".join('"k%d":%d' % (i, i) for i in range(5000)) + "}",
        "masked-separators": '{"a":"t%2Cm%2Cp","b":"[x:y,z]","c":"t%3Am%3Ap{1,2}"}',
        "backslash-runs": '{"a":"\\\\\\\\\\"","b":"\\\\","c\\"":"\\"}',
        "type-edge-values": '{"a":0.,"b":.,"c":1.2.3,"d":0000000001,"e":12345678901,"f":TRUE,"g":"[x]"}',
        "empty-containers": '{"a":[],"b":{},"c":[[]],"d":[{}],"e":""}',
    }
    for name, text in hard.items():
        files[name + ".json"] = text.encode()
    # Bytes that are not clean UTF-8: a lone surrogate, an overlong form, stray continuation bytes,
    # a byte-order mark, a zero byte and four-byte characters.
    files["utf8-lone-surrogate.json"] = b'{"a":"\xed\xa0\x80"}'
    files["utf8-overlong.json"] = b'{"a":"\xc0\xaf\xe0\x80\xaf"}'
    files["utf8-stray-bytes.json"] = b'{"\x80\xbf":"\xff\xfe"}'
    files["utf8-bom.json"] = b'\xef\xbb\xbf{"a":1}'
    files["utf8-zero-byte.json"] = b'{"a":"x\x00y","b\x00":1}'
    files["utf8-four-byte.json"] = '{"\U0001F3B5":"\U0001F600\U0001F600"}'.encode()
    files["utf8-cut-mid-character.json"] = '{"a":"\u65e5'.encode()[:-1]
    files["empty"] = b""
    return files


STORED = {"bplist": bplist_inputs, "cfplist": cfplist_inputs, "json": json_inputs}

# Inputs as deep as those that overflowed libplist 2.2's recursive readers: too large to store.
DEEP = {
    "bplist": lambda: {
        "deep-arrays-100000.bplist": chain(100000, False),
        "deep-dicts-100000.bplist": chain(100000, True),
    },
    "cfplist": lambda: {
        "deep-xml-arrays-1000000.xml": nested_xml(1000000, "<array>", "</array>"),
        "deep-xml-dicts-100000.xml": nested_xml(100000, "<dict><key>k</key>", "</dict>"),
        "deep-xml-arrays-end-tags-in-comments-100000.xml": nested_xml(100000, "<array><!--</array>-->", "</array>"),
        "deep-bin-arrays-100000.bplist": empty_chain(100000),
    },
}


def write_all(root, tables, limit=None):
    for target, make in tables.items():
        folder = os.path.join(root, target)
        os.makedirs(folder, exist_ok=True)
        for name, data in make().items():
            if limit is not None and len(data) > limit:
                sys.exit("make_corpus: %s/%s is %d bytes, over %d" % (target, name, len(data), limit))
            with open(os.path.join(folder, name), "wb") as out:
                out.write(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--deep", metavar="DIR", help="write the large nesting inputs into DIR/<target>/")
    args = parser.parse_args()
    if args.deep:
        write_all(args.deep, DEEP)
    else:
        write_all(HERE, STORED, limit=100 * 1024)


if __name__ == "__main__":
    main()
