#!/usr/bin/env python3
"""Writes a ringtone catalogue of N ringtones in the shape a phone has (a binary property list), for
the benchmarks: make_catalogue.py N OUTPUT. At 5,000 the file is 741,950 bytes."""
import plistlib
import random
import string
import sys


def catalogue(n):
    rng = random.Random(1)
    cat = {}
    for i in range(n):
        name = "".join(rng.choice(string.ascii_uppercase) for _ in range(4)) + ".m4r"
        cat[name] = {"Name": "铃声 Ringtone %d %s" % (i, "".join(rng.choice(string.ascii_letters) for _ in range(12))),
                     "GUID": "%016X" % rng.getrandbits(64), "PID": rng.getrandbits(63),
                     "Total Time": rng.randint(1000, 40000), "Protected Content": False}
    return plistlib.dumps({"Ringtones": cat}, fmt=plistlib.FMT_BINARY, sort_keys=False)


if __name__ == "__main__":
    with open(sys.argv[2], "wb") as out:
        out.write(catalogue(int(sys.argv[1])))
