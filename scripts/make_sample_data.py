#!/usr/bin/env python3
"""Writes the sample data of sim/data: a stand-in RAM boot-loader image and two firmware images.

All of it is made up by the project for its simulator and tests; none of it is TI's RAM boot loader or anyone's
real firmware. The files are committed; run this script again only to change them:

    python3 scripts/make_sample_data.py [OUTPUT_DIR]      (default: sim/data beside this script)

The formats that the simulator checks are described in sim/models/usb_boot_loader.h (RAM boot-loader image) and
sim/models/board.h (firmware version at 0x4400). TI-TXT is written as TI's and srecord's tools do: "@" address
lines (4 hex digits below 0x10000, 6 above, as srec_cat writes them), 16 upper-case bytes per line separated by
single spaces (fewer on a section's last line), and a final "q".
"""

import os
import sys

RAM_BSL_VERSION = bytes([0x00, 0x08, 0x08, 0x39])
RAM_BSL_MAGIC = b"CARDSIM RAM BSL STAND-IN"  # 24 characters at 0x2504, the entry point
RAM_BSL_BODY_LENGTH = 2011


def crc16_ccitt(data, crc=0xFFFF):
    """CRC-16/CCITT-FALSE: polynomial 0x1021, initial value 0xFFFF, not reflected."""
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
    return crc


def filler(seed, n):
    """Deterministic pseudo-random bytes (a 32-bit LCG), so that the files never change by accident."""
    out = bytearray()
    x = seed & 0xFFFFFFFF
    for _ in range(n):
        x = (x * 1664525 + 1013904223) & 0xFFFFFFFF
        out.append(x >> 24)
    return bytes(out)


def titxt(segments):
    lines = []
    for address, data in segments:
        lines.append("@%04X" % address if address <= 0xFFFF else "@%06X" % address)
        for i in range(0, len(data), 16):
            lines.append(" ".join("%02X" % b for b in data[i:i + 16]))
    lines.append("q")
    return "\n".join(lines) + "\n"


def ram_bsl_image():
    banner = (b"Stand-in for TI's MSP430 RAM boot loader, made by the Cardlink project for its simulator. "
              b"It holds no boot-loader code; the simulated USB boot loader checks this image before it "
              b"starts its model of the RAM boot loader. ")
    body = (banner + filler(0x2504, RAM_BSL_BODY_LENGTH))[:RAM_BSL_BODY_LENGTH]
    header = RAM_BSL_VERSION + RAM_BSL_MAGIC + len(body).to_bytes(2, "little") + crc16_ccitt(body).to_bytes(2, "little")
    assert len(header) == 0x20
    return [(0x2500, header + body)]


def firmware(version, layout):
    """Segments of a sample firmware. `layout`: (address, length) of every segment but the vectors."""
    seed = int(version, 16)
    code = bytes([0x31, 0x40, 0x00, 0x44,              # 0x4404: mov #0x4400, SP
                  0xB2, 0x40, 0x80, 0x5A, 0x5C, 0x01,  # mov #0x5A80, &WDTCTL
                  0xFF, 0x3F,                          # jmp $
                  0x00, 0x13])                         # 0x4410: reti, where every interrupt vector points
    banner = ("CARDSIM SAMPLE FIRMWARE %s - made by the Cardlink project for its simulator, not real firmware. "
              % version).encode()
    segments = []
    for address, length in layout:
        if address == 0x4400:
            head = version.encode() + code + banner
            data = (head + filler(seed ^ address, length))[:length]
        else:
            data = filler(seed ^ address, length)
        segments.append((address, data))
    vectors = bytearray()
    for a in range(0xFF80, 0x10000, 2):
        vectors += (0x4404 if a == 0xFFFE else 0x4410).to_bytes(2, "little")
    segments.append((0xFF80, bytes(vectors)))
    segments.sort(key=lambda s: s[0])
    for (a1, d1), (a2, _) in zip(segments, segments[1:]):
        assert a1 + len(d1) <= a2, "segments overlap"
    assert segments[-1][0] + len(segments[-1][1]) + 1 <= 0x24400, "beyond main flash"
    return segments


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "sim", "data")
    files = {
        # The stand-in for TI's RAM boot loader, under a name of its own: no search for TI's finds it.
        "stand_in_ram_bsl.txt": ram_bsl_image(),
        # Several segments, odd lengths, the vectors at 0xFF80..0xFFFF, segments above 0xFFFF.
        "firmware_0102.txt": firmware("0102", [(0x4400, 2345), (0x5000, 1111), (0x6A00, 777),
                                               (0x10000, 4099), (0x1C000, 1501)]),
        "firmware_0200.txt": firmware("0200", [(0x4400, 3001), (0x5200, 2048), (0x7000, 1233), (0x9E00, 96),
                                               (0x10000, 6143), (0x12345, 999), (0x20000, 2047)]),
    }
    for name, segments in files.items():
        with open(os.path.join(out, name), "w", newline="\n") as f:
            f.write(titxt(segments))


if __name__ == "__main__":
    main()
