"""Bit-for-bit comparison of doubles: equal bits, or both NaN."""
import math
import struct


def bits(x):
    return struct.pack("<d", x)


def same(a, b):
    return (math.isnan(a) and math.isnan(b)) or bits(a) == bits(b)
