#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes the hand-made seed inputs of the fuzz targets to corpus/<target>/.

Each input follows its target's layout (see the comment at the top of each
fuzz_*.cpp): a few header bytes, then command output as the plug-in's
pipelines would filter it. Re-running the script rewrites the same files;
inputs added by other means (found by fuzzing, or captured from a
simulator) live beside them under other names.
"""
import hashlib
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

OK = 0x00          # status selector: success
FAIL_255 = 0xD2    # status selector: 210 % 12 -> 255
FAIL_MINUS3 = 0xD0 # status selector: 208 % 12 -> -3
FAIL_2 = 0xD9      # status selector: 217 % 12 -> 2


def cap(n):
    return struct.pack("b", n)


def succeeding(*outputs):
    """Inputs of a command that succeeds with each of these outputs."""
    return [bytes([OK]) + output for output in outputs]


def whole_listing(indices, major=120, partitions=()):
    """The /proc/partitions listing after grep and awk: major minor name."""
    lines = []
    for i in indices:
        name = "emcpower" + letters(i)
        lines.append(f"{major} {i * 16} {name}")
        for p in partitions:
            lines.append(f"{major} {i * 16 + p} {name}{p}")
    return "".join(line + "\n" for line in lines)


def letters(index):
    s = ""
    n = index
    while True:
        s = chr(ord("a") + n % 26) + s
        n //= 26
        if n == 0:
            return s
        n -= 1


def slices(*parts):
    return b"".join(struct.pack("<qqQii", start, size, 0, no, 0) for no, start, size in parts)


SEEDS = {
    "partition_listing": succeeding(
        whole_listing(range(4), partitions=(1, 2)).encode(),
        whole_listing(range(60)).encode(),
        whole_listing(range(3), major=232).encode(),
        b"120 0 emcpowera\n120 1 emcpowera1\n120 32 emcpowerc\n120 33 emcpowerc1\n",
        b"120 0 emcpowera extra\n120\n\n120 16 emcpowerb\n120 32 emcpowerc",
        b"  120 0 emcpowera\n120  16 emcpowerb\n120 32 \n",
        b"120 0 emcpowera\r\n120 16 emcpowerb\r\n",
        b"120 48 emcpowerd\n120 48 emcpowerdd\n",
        b"8 16 emcpowerc\n0 0 emcpowerx\n1 3 emcpowerchr\n",
        b"99999999999 -5 emcpowerq\n-2147483649 +7 emcpowerr\n0x78 0 emcpowers\n",
        b"",
    ) + [bytes([FAIL_255]) + b"120 0 emcpowera\n", bytes([FAIL_MINUS3])],
    "mpio_devices": [
        cap(4) + bytes([OK, 0]) + b"emcpowera\nemcpowerb\n",
        cap(2) + bytes([OK, 0]) + b"emcpowera\nemcpowerb\n",
        cap(3) + bytes([OK, 0]) + b"emcpowera\nemcpowerb\n",
        cap(1) + bytes([OK, 0]) + b"emcpowera\nemcpowerb\n",
        cap(0) + bytes([OK, 0]) + b"emcpowera\nemcpowerb\n",
        cap(-1) + bytes([OK, 0]) + b"emcpowera\n",
        cap(1) + bytes([OK, 0]) + b"emcpowera",
        cap(4) + bytes([OK, 0]) + b"emcpowera\n\nemcpowerb\n",
        cap(3) + bytes([OK, 0]) + b"emcpowera\n\nemcpowerb\n",
        cap(0) + bytes([OK, 0]),
        cap(1) + bytes([OK, 0]),
        cap(127) + bytes([OK, 0]) + "".join("emcpower" + letters(i) + "\n" for i in range(80)).encode(),
        cap(8) + bytes([OK, 0]) + b"emcpowera\r\nemcpowerb\r\n",
        cap(8) + bytes([OK, 0]) + b"emcpowera Pseudo\nemcpowerb=x\n",
        cap(2) + bytes([OK, 0]) + b"emcpower" + b"a" * 1100 + b"\n",
        cap(4) + bytes([FAIL_2, 33]) + b"powermt: command not found\n" + b"x" * 6 + b"emcpowera\n",
        cap(4) + bytes([FAIL_MINUS3, 0]),
        cap(4) + bytes([FAIL_255, 255]) + b"E" * 255,
    ],
    "underlying_devices": [
        cap(4) + bytes([OK, 0, 0]) + b"sdb\nsdc\n",
        cap(4) + bytes([OK, 1, 0]) + b"sdb\nsdc\n",
        cap(4) + bytes([OK, 2, 0]) + b"sdd\n",
        cap(4) + bytes([OK, 3, 0]) + b"sdb\nsdc\n",
        cap(4) + bytes([OK, 4, 0]) + b"sdb\nsdc\n",
        cap(4) + bytes([OK, 5, 0]) + b"sdb\nsdc\n",
        cap(4) + bytes([OK, 6, 0]) + b"sdb\n",
        cap(4) + bytes([OK, 7, 0]) + b"sdb\n",
        cap(1) + bytes([OK, 0, 0]) + b"sdb\nsdc\n",
        cap(0) + bytes([OK, 0, 0]) + b"sdb\nsdc\n",
        cap(-5) + bytes([OK, 0, 0]) + b"sdb\nsdc\n",
        cap(8) + bytes([OK, 0, 0]) + b"\n\nsdb\n\n\nsdc",
        cap(8) + bytes([OK, 0, 0]) + b"sdb\nsdc\nsdd\nsde\nsdf\nsdg\nsdh\nsdi\n",
        cap(8) + bytes([OK, 0, 0]),
        cap(2) + bytes([OK, 0, 0]) + b"sd" + b"q" * 1100 + b"\n",
        cap(4) + bytes([FAIL_2, 0, 0]),
        cap(4) + bytes([FAIL_MINUS3, 1, 24]) + b"powermt: device is busy",
        cap(4) + bytes([FAIL_255, 0, 255]) + b"E" * 255,
    ],
    "init": succeeding(
        b"120\n",
        b"251\n252\n",
        b"  232\n",
        b"abc\n",
        b"-5\n",
        b"99999999999\n",
        b"121",
        b"+7x\n",
        b"120 %s%n\n",
        b"",
    ) + [bytes([FAIL_255]) + b"120\n", bytes([FAIL_MINUS3])],
}

LISTING = b"120 0 emcpowera\n120 32 emcpowerc\n120 33 emcpowerc1\n120 34 emcpowerc2\n120 49 emcpowerd1\n"
THREE = slices((1, 2048, 4096), (2, 6144, 8192), (3, 14336, 1024))


def names_seed(flags, capacity, reader, path, listing=LISTING, paths=b"sdb\nsdc\n", parts=THREE):
    return bytes([flags]) + cap(capacity) + bytes([reader]) + path + b"\0" + listing + b"\0" + paths + b"\0" + parts


SEEDS["entry_names"] = [
    names_seed(1, 4, 0, b"/dev/emcpowerc"),
    names_seed(1, 2, 0, b"/dev/emcpowerc"),
    names_seed(1, 4, 0, b"/dev/emcpowerc1"),
    names_seed(1, 4, 0, b"/dev/emcpowerd1"),
    names_seed(1, 4, 0, b"/dev/disk/by-id/wwn-1"),
    names_seed(1, 4, 0, b"emcpowerc\n"),
    names_seed(1, 4, 0, b"/dev/sdb"),
    names_seed(1, 4, 0, b"/dev/emcpowerb"),
    names_seed(1, 4, 0, b""),
    names_seed(1, 4, 0, b"/dev/emcpowerc;reboot"),
    names_seed(1, 4, 0, b"$(reboot)"),
    names_seed(1, 4, 0, b"/dev/emcpower`id`"),
    names_seed(1, 4, 0, b"-rf"),
    names_seed(1, 4, 0, b"/dev/emcpowerc%s%n%x"),
    names_seed(1, 4, 0, b"/dev/emcpowerc", listing=b"120 32 emcpowerc;id\n"),
    names_seed(1, 4, 0, b"/dev/emcpowerc", listing=b"120 32 emcpowerc|x\n120 33 -rf\n"),
    names_seed(1, 4, 0, b"/dev/" + b"a" * 5000),
    names_seed(1, 4, 0, b"/dev/emcpower" + b"a" * 1010),
    names_seed(0, 4, 0, b"/dev/missing"),
    names_seed(0, 4, 200, b"/dev/missing"),
    names_seed(1, 4, 230, b"/dev/emcpowerc"),
    names_seed(1, -1, 0, b"/dev/emcpowerc"),
    names_seed(1, 16, 1, b"/dev/emcpowerc", parts=slices(*[(i, i * 2048, 2048) for i in range(1, 16)])),
]


def main():
    for target, inputs in SEEDS.items():
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for data in inputs:
            name = "seed-" + hashlib.sha1(data).hexdigest()[:16]
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
