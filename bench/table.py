#!/usr/bin/env python3
"""Figures for bench/run.

  table.py stats JSON NAME    median, min and max (seconds) of one command of a
                              hyperfine --export-json file, on one line
  table.py show ROWS          the final table (Markdown) from the rows file

A row of ROWS is tab-separated: case, unit, program median, program min,
program max, peer median, peer min, peer max, target, note. "-" marks a figure
that does not exist; a failed case carries its reason in the note.
"""
import json
import sys


def stats(path, name):
    for result in json.load(open(path))["results"]:
        if result["command"] == name:
            print(f'{result["median"]:.6f} {result["min"]:.6f} {result["max"]:.6f}')
            return
    sys.exit(f"table.py: no command named {name!r} in {path}")


def number(text):
    return None if text in ("", "-") else float(text)


def cell(unit, median, low, high):
    if median is None:
        return "-"
    if unit == "s":
        spread = f" [{low:.3f}-{high:.3f}]" if low is not None and high is not None else ""
        return f"{median:.3f} s{spread}"
    if unit == "MB":
        return f"{median:.1f} MB"
    return f"{median:.2f} {unit}"


def show(path):
    header = ["case", "this program (median [min-max])", "peer (median [min-max])", "ratio", "target"]
    lines = []
    for raw in open(path):
        fields = raw.rstrip("\n").split("\t")
        case, unit = fields[0], fields[1]
        prog = [number(f) for f in fields[2:5]]
        peer = [number(f) for f in fields[5:8]]
        target, note = fields[8], fields[9]
        ratio = f"{prog[0] / peer[0]:.2f}" if prog[0] is not None and peer[0] else "-"
        if note not in ("", "-"):
            target = f"{target} ({note})" if target not in ("", "-") else note
        lines.append([case, cell(unit, *prog), cell(unit, *peer), ratio, target or "-"])
    widths = [max(len(row[i]) for row in [header] + lines) for i in range(len(header))]

    def out(row):
        print("| " + " | ".join(text.ljust(width) for text, width in zip(row, widths)) + " |")

    out(header)
    print("|" + "|".join("-" * (width + 2) for width in widths) + "|")
    for row in lines:
        out(row)


def main():
    if sys.argv[1] == "stats":
        stats(sys.argv[2], sys.argv[3])
    elif sys.argv[1] == "show":
        show(sys.argv[2])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
