#!/usr/bin/env python3
"""Independent property-list reader and writer for the CoreFoundation tests, built on Python's
plistlib (which shares no code with libplist).

  plist_tool.py dump FILE            prints "xml " or "binary " and then the property list as one
                                     line of JSON, every value tagged with its type
                                     (["int", -5], ["str", "a"], ["dict", [[key, value], ...]]),
                                     dictionary keys in the order the file gives them
  plist_tool.py write xml|binary FILE
                                     writes the sample property list the tests also build
"""
import datetime
import json
import plistlib
import sys

SAMPLE = {
    "name": "Ringtone \u266b \u65e5\u672c",
    "count": -5,
    "min": -(2 ** 63),
    "max": 2 ** 63 - 1,
    "ratio": -0.25,
    "on": True,
    "off": False,
    "blob": b"\x00\x01\xff",
    "list": [1, "two", [], {}],
    "when": datetime.datetime(2001, 1, 1, 0, 0, 0),
    "escaped": "<&>\"'",
}


def tagged(value):
    # bool before int: True is an int in Python
    if isinstance(value, bool):
        return ["bool", value]
    if isinstance(value, int):
        return ["int", value]
    if isinstance(value, float):
        return ["real", value]
    if isinstance(value, str):
        return ["str", value]
    if isinstance(value, bytes):
        return ["data", value.hex()]
    if isinstance(value, datetime.datetime):
        return ["date", value.isoformat()]
    if isinstance(value, list):
        return ["array", [tagged(v) for v in value]]
    if isinstance(value, dict):
        return ["dict", [[k, tagged(v)] for k, v in value.items()]]
    raise TypeError("unexpected value %r" % (value,))


def main(argv):
    if len(argv) == 3 and argv[1] == "dump":
        with open(argv[2], "rb") as f:
            data = f.read()
        kind = "binary" if data.startswith(b"bplist00") else "xml"
        value = plistlib.loads(data)
        line = kind + " " + json.dumps(tagged(value), ensure_ascii=False, separators=(",", ":")) + "\n"
        sys.stdout.buffer.write(line.encode("utf-8"))
        return 0
    if len(argv) == 4 and argv[1] == "write" and argv[2] in ("xml", "binary"):
        fmt = plistlib.FMT_XML if argv[2] == "xml" else plistlib.FMT_BINARY
        with open(argv[3], "wb") as f:
            f.write(plistlib.dumps(SAMPLE, fmt=fmt, sort_keys=False))
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
