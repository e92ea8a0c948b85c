#!/usr/bin/env python3
"""bench/side_by_side.py LABEL=ROWS_FILE...: the rows of several runs of bench_drvdown side by side,
a median, a spread and a verdict column per run; a row that a run lacks shows "-" there."""
import sys


def read_rows(path):
    headings, rows, notes = {}, {}, []
    with open(path, encoding="utf-8") as lines:
        for kind, *fields in (line.rstrip("\r\n").split("\t") for line in lines):
            if kind == "@heading":
                headings[int(fields[0])] = fields[1]
            elif kind == "@row":
                rows[(int(fields[0]), fields[1])] = fields[2:6]  # median, spread, goal, verdict
            elif kind == "@note":
                notes.append(fields[0])
    return headings, rows, notes


def main(arguments):
    runs = [(label, *read_rows(path)) for label, path in (a.split("=", 1) for a in arguments)]
    # Every row once, in the order the runs give them (a row only one run has follows the row
    # before it there), figures sorted by number.
    order = []
    for _, _, rows, _ in runs:
        at = 0
        for key in rows:
            if key not in order:
                order.insert(at, key)
            at = order.index(key) + 1
    order.sort(key=lambda key: key[0])

    header = ["figure"]
    for label, *_ in runs:
        header += [f"{label} median", f"{label} spread (min .. max)"]
    header += ["goal"] + [f"{label} verdict" for label, *_ in runs]
    lines, shown = [], set()
    for key in order:
        if key[0] not in shown:
            shown.add(key[0])
            titles = [headings[key[0]] for _, headings, _, _ in runs if key[0] in headings]
            lines.append(f"{key[0]}. {titles[0] if titles else ''}")
        found = [rows.get(key) for _, _, rows, _ in runs]
        cells = ["  " + key[1]]
        for row in found:
            cells += row[0:2] if row else ["-", ""]
        cells.append(next((row[2] for row in found if row and row[2]), ""))
        lines.append(cells + [row[3] if row else "" for row in found])

    widths = [max([len(name)] + [len(l[i]) for l in lines if isinstance(l, list)])
              for i, name in enumerate(header)]

    def show(cells):
        print("  ".join(cell.rjust(width) if header[i].endswith("median") else cell.ljust(width)
                        for i, (cell, width) in enumerate(zip(cells, widths))).rstrip())

    show(header)
    print("-" * (sum(widths) + 2 * (len(widths) - 1)))
    for line in lines:
        show(line) if isinstance(line, list) else print(line)
    for label, _, _, notes in runs:
        for note in notes:
            print(f"{label}: {note}")


if __name__ == "__main__":
    main(sys.argv[1:])
