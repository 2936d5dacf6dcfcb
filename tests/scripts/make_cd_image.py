#!/usr/bin/env python3
"""Writes a disc image: a .cue sheet and its .bin of raw 2352-byte sectors.

Usage: make_cd_image.py OUT.cue SPEC...

Each SPEC is one stretch of the disc, in order: KIND:FRAMES[:FLAG,...]
  audio  an audio track; flags PRE (pre-emphasis), DCP (copy permitted),
         4CH (four channels), ZERO (silence, written sparse, for long tracks)
  data   a MODE1/2352 data track
  gap    frames that belong to no track of their own (they count to the
         track before them, as the session gap of an enhanced CD does)

The first stretch starts at frame 0. An audio sector that is not ZERO holds
588 stereo 16-bit frames: left = the sector's address & 0x7fff, right = the
frame's index in the sector, so a reader can tell which sector it got.
"""
import os
import struct
import sys

SECTOR = 2352


def msf(lba):
    """mm:ss:ff of a frame address inside the file."""
    return "%02d:%02d:%02d" % (lba // 4500, (lba // 75) % 60, lba % 75)


def bcd(n):
    return ((n // 10) << 4) | (n % 10)


def data_sector(lba):
    # Sync, header (address as on the disc, 150 frames after the file's
    # start), mode 1, then user data; EDC/ECC left zero.
    a = lba + 150
    head = bytes([0x00] + [0xFF] * 10 + [0x00]) + bytes(
        [bcd(a // 4500), bcd((a // 75) % 60), bcd(a % 75), 1])
    user = (b"VELMORA DATA %08d " % lba).ljust(2048, b".")
    return head + user + bytes(SECTOR - len(head) - len(user))


# An audio sector with left = 0: the right channel counts the frames.
AUDIO_TEMPLATE = bytearray(struct.pack("<1176h", *[v for i in range(588) for v in (0, i)]))


def audio_sector(lba):
    left = struct.pack("<h", lba & 0x7FFF)
    sector = bytearray(AUDIO_TEMPLATE)
    sector[0::4] = left[0:1] * 588
    sector[1::4] = left[1:2] * 588
    return bytes(sector)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    cue_path = sys.argv[1]
    bin_path = os.path.splitext(cue_path)[0] + ".bin"
    lines = ['FILE "%s" BINARY' % os.path.basename(bin_path)]
    track = 0
    lba = 0
    with open(bin_path, "wb") as out:
        for spec in sys.argv[2:]:
            parts = spec.split(":")
            kind, frames = parts[0], int(parts[1])
            flags = [f for f in (parts[2].split(",") if len(parts) > 2 else []) if f]
            if kind in ("audio", "data"):
                track += 1
                lines.append("  TRACK %02d %s" % (track, "AUDIO" if kind == "audio" else "MODE1/2352"))
                cue_flags = [f for f in flags if f in ("PRE", "DCP", "4CH")]
                if cue_flags:
                    lines.append("    FLAGS " + " ".join(cue_flags))
                lines.append("    INDEX 01 " + msf(lba))
            elif kind != "gap":
                sys.exit("unknown kind: " + kind)
            if kind == "gap" or "ZERO" in flags:
                out.seek((lba + frames) * SECTOR - 1)
                out.write(b"\0")
            else:
                make = data_sector if kind == "data" else audio_sector
                for i in range(frames):
                    out.write(make(lba + i))
            lba += frames
    with open(cue_path, "w") as cue:
        cue.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
