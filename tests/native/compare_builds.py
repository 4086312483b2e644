"""Compares the reference prices of two builds unit in the last place by unit.

    python3 tests/native/compare_builds.py PRICES_A PRICES_B

Each file holds the output of reference_prices. The C math libraries of two
targets may round differently; the formulas and their order of operations do not.
A few tens of units apart are the libraries' doing in well-conditioned cases; the
cases named *_illcond (large eta sigma sqrt(T), where the closed form cancels
digits) amplify them and are held to a relative bound instead.
"""
import math
import struct
import sys


MAX_ULPS = 64


def ordered(x):
    """The double's position on the line of doubles, for counting units apart."""
    bits = struct.unpack("<q", struct.pack("<d", x))[0]
    return bits if bits >= 0 else -(bits & 0x7FFFFFFFFFFFFFFF)


def load(path):
    with open(path) as f:
        return {name: float.fromhex(value) for name, value in (line.split() for line in f)}


def main():
    a, b = load(sys.argv[1]), load(sys.argv[2])
    failed = False
    assert a.keys() == b.keys() and a, "the two builds printed different cases"
    worst = 0
    for name in a:
        x, y = a[name], b[name]
        if math.isnan(x) or math.isnan(y):
            assert math.isnan(x) and math.isnan(y), (name, x, y)
            ulps = 0
        else:
            ulps = abs(ordered(x) - ordered(y))
        if name.endswith("_illcond"):
            ok = math.isnan(x) or abs(x - y) <= 1e-12 * abs(x)
        else:
            ok = ulps <= MAX_ULPS
            worst = max(worst, ulps)
        failed |= not ok
        print(f"{name:20} {x!r:24} {y!r:24} {ulps:5} ulp {'' if ok else 'TOO FAR'}")
    print(f"largest difference of well-conditioned cases: {worst} ulp over {len(a)} cases")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
