#!/ usr / bin / env python3
"""Independent check of compressed plot blocks: each sampleN.z that the test program writes must
inflate (zlib, any level) to the byte 13 followed by exactly the plain plot code sampleN.code, and
that code must end with its list terminator.

    plotcheck.py TEST_PLOT_PROGRAM
"""
import os
import subprocess
import sys
import tempfile
import zlib


def main():
    prog = sys.argv[1]
    with tempfile.TemporaryDirectory() as d:
        env = dict(os.environ, VX_PLOT_SAMPLES=d)
        subprocess.run([prog, "--gtest_filter=PlotBlock.WritesSamplesForTheChecker"], env=env,
                       check=True, stdout=subprocess.DEVNULL, timeout=120)
        names = sorted(n for n in os.listdir(d) if n.endswith(".z"))
        if not names:
            sys.exit("no samples written")
        for n in names:
            with open(os.path.join(d, n), "rb") as f:
                z = f.read()
            with open(os.path.join(d, n[:-2] + ".code"), "rb") as f:
                code = f.read()
            raw = zlib.decompress(z)
            if raw != b"\x0d" + code:
                sys.exit("%s: inflates to %d bytes, not 13 + the %d-byte code" % (n, len(raw), len(code)))
            if not code or code[-1] != 0:
                sys.exit("%s: the code does not end with 0" % n)
    print("plotcheck: %d samples" % len(names))


if __name__ == "__main__":
    main()
