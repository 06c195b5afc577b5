#!/usr/bin/env python3
"""Writes a ringtone catalogue ("Ringtones.plist") of COUNT tones as a binary property list on
standard output, the way the phone keeps it, with Python's plistlib as an independent writer.

  ringtone_catalogue.py COUNT

Tone i (from 0) is derived from i alone, so that a test can check any tone it picks:
  file name   four letters A-Z spelling i in base 26, most significant first, then ".m4r"
  "Name"      "Tone i", and for every third tone (i % 3 == 0) with U+266B after a space, so
              that both ASCII and UTF-16 strings occur
  "GUID"      sixteen upper-case hex digits of 0x5E4C1B2A00000000 + i
  "PID"       0x1234567800000000 + i * 7919 (a 64-bit sync id)
  "Total Time" 20000 + i % 10000 (milliseconds)
  "Protected Content" true when i % 5 == 0
"""
import plistlib
import sys


def file_name(i):
    letters = ""
    for _ in range(4):
        letters = chr(ord("A") + i % 26) + letters
        i //= 26
    return letters + ".m4r"


def tone(i):
    name = "Tone %d" % i
    if i % 3 == 0:
        name += " \u266b"
    return {
        "GUID": "%016X" % (0x5E4C1B2A00000000 + i),
        "Name": name,
        "PID": 0x1234567800000000 + i * 7919,
        "Protected Content": i % 5 == 0,
        "Total Time": 20000 + i % 10000,
    }


def main(argv):
    if len(argv) != 2 or not argv[1].isdigit() or int(argv[1]) > 26 ** 4:
        sys.stderr.write(__doc__)
        return 2
    count = int(argv[1])
    catalogue = {"Ringtones": {file_name(i): tone(i) for i in range(count)}}
    sys.stdout.buffer.write(plistlib.dumps(catalogue, fmt=plistlib.FMT_BINARY))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
