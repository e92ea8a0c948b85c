#!/usr/bin/env python3
"""Prints the tables of several runs of bench_drvdown --rows side by side: a median, a spread and
a verdict column per run, rows matched by figure number and text.

    bench/side_by_side.py LABEL=ROWS_FILE [LABEL=ROWS_FILE ...]

A row that a run lacks (figure 7 is measured on x86 only) shows "-" in that run's columns."""
import sys


def read_rows(path):
    headings, rows, notes = {}, {}, []
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            kind, *fields = line.rstrip("\r\n").split("\t")
            if kind == "@heading":
                headings[int(fields[0])] = fields[1]
            elif kind == "@row":
                rows[(int(fields[0]), fields[1])] = fields[2:6]  # median, spread, goal, verdict
            elif kind == "@note":
                notes.append(fields[0])
    return headings, rows, notes


def main(arguments):
    runs = []
    for argument in arguments:
        label, path = argument.split("=", 1)
        runs.append((label, *read_rows(path)))
    # Every row once, in its figure's order: a row only some run has follows the row before it
    # in that run.
    order = []
    for _, _, rows, _ in runs:
        at = 0
        for key in rows:
            if key not in order:
                order.insert(at, key)
            at = order.index(key) + 1

    header = ["figure"]
    for label, *_ in runs:
        header += [f"{label} median", f"{label} spread (min .. max)"]
    header += ["goal"] + [f"{label} verdict" for label, *_ in runs]
    lines = []  # a heading (str) or the cells of a row (list)
    for number in sorted({number for number, _ in order}):
        title = next((headings[number] for _, headings, _, _ in runs if number in headings), "")
        if title:
            lines.append(f"{number}. {title}")
        for key in (key for key in order if key[0] == number):
            found = [rows.get(key) for _, _, rows, _ in runs]
            cells = ["  " + key[1]]
            for row in found:
                cells += row[0:2] if row else ["-", ""]
            cells.append(next((row[2] for row in found if row and row[2]), ""))
            cells += [row[3] if row else "" for row in found]
            lines.append(cells)

    widths = [max([len(name)] + [len(l[i]) for l in lines if isinstance(l, list)])
              for i, name in enumerate(header)]

    def show(cells):
        text = "  ".join(cell.rjust(width) if header[i].endswith("median") else cell.ljust(width)
                         for i, (cell, width) in enumerate(zip(cells, widths)))
        print(text.rstrip())

    show(header)
    print("-" * (sum(widths) + 2 * (len(widths) - 1)))
    for line in lines:
        if isinstance(line, list):
            show(line)
        else:
            print(line)
    for label, _, _, notes in runs:
        for note in notes:
            print(f"{label}: {note}")


if __name__ == "__main__":
    main(sys.argv[1:])
