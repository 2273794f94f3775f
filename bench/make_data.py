#!/usr/bin/env python3
"""Makes one data set of bench/run from a fixed seed, so that every run of the
suite (and every machine) measures the same names, sizes and bytes.

Usage: make_data.py DATA_DIR NAME
  small400   400 files of 1-8 KiB in 20 folders
  small2k    2,000 files of 1-8 KiB in 100 folders
  small10k   10,000 files of 1-8 KiB in 100 folders
  tiny100k   100,000 files of 64 bytes in 1,000 folders
  tiny1m     1,000,000 files of 16 bytes in 1,000 folders
  site10k    10,000 files of 100-400 KiB in 100 folders (2.5 GB)
  big        one file of 1 GiB
  far50m     one file of 50 MB, for the far server
  rate5m     one file of 5 MB, for MaxRate

A set is built in a temporary folder and renamed into place only when whole, so
an interrupted run never leaves a half set that a later run would reuse.
"""
import os
import random
import shutil
import sys

SEED = 20261208
# Bumped whenever a set's recipe changes, so that older sets are made anew.
VERSION = "1"

SETS = {
    # name: (files, folders, smallest size, largest size)
    "small400": (400, 20, 1024, 8192),
    "small2k": (2000, 100, 1024, 8192),
    "small10k": (10000, 100, 1024, 8192),
    "tiny100k": (100000, 1000, 64, 64),
    "tiny1m": (1000000, 1000, 16, 16),
    "site10k": (10000, 100, 100 << 10, 400 << 10),
}
BIG_SIZE = 1 << 30
FAR_SIZE = 50 * 1000 * 1000
RATE_SIZE = 5 * 1000 * 1000
CHUNK = 1 << 20


def make_tree(path, files, folders, smallest, largest, rng):
    for folder in range(folders):
        os.makedirs(os.path.join(path, f"d{folder:04d}"))
    for i in range(files):
        # Round robin over the folders, so each holds files / folders of them.
        name = os.path.join(path, f"d{i % folders:04d}", f"f{i:06d}.dat")
        with open(name, "wb") as f:
            f.write(rng.randbytes(rng.randint(smallest, largest)))


def make_big(path, rng, size):
    os.makedirs(path)
    with open(os.path.join(path, "big.dat"), "wb") as f:
        for _ in range(size // CHUNK):
            f.write(rng.randbytes(CHUNK))
        f.write(rng.randbytes(size % CHUNK))


def main():
    data, name = sys.argv[1], sys.argv[2]
    final = os.path.join(data, name)
    stamp = os.path.join(data, f".{name}.done")
    wanted = f"{name} seed {SEED} version {VERSION}\n"
    if os.path.isdir(final) and os.path.isfile(stamp) and open(stamp).read() == wanted:
        return
    shutil.rmtree(final, ignore_errors=True)
    partial = final + ".partial"
    shutil.rmtree(partial, ignore_errors=True)
    # One generator per set: adding a set never changes the bytes of another.
    rng = random.Random(f"{SEED}-{name}")
    if name == "big":
        make_big(partial, rng, BIG_SIZE)
    elif name == "far50m":
        make_big(partial, rng, FAR_SIZE)
    elif name == "rate5m":
        make_big(partial, rng, RATE_SIZE)
    else:
        make_tree(partial, *SETS[name], rng)
    os.rename(partial, final)
    with open(stamp, "w") as f:
        f.write(wanted)


if __name__ == "__main__":
    main()
