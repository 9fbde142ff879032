#!/usr/bin/python3
"""What a terminal shows after the bytes a program wrote to it, through the terminal emulator
pyte (Debian's python3-pyte).

    screen.py COLUMNS ROWS [OFFSET:COLUMNS:ROWS ...] < bytes

Each OFFSET:COLUMNS:ROWS resizes the screen once the bytes before OFFSET are fed. Prints the
screen's lines (blanks at their ends removed), then one line "cursor ROW COLUMN shown|hidden".
"""
import sys

import pyte


def main():
    columns, rows = int(sys.argv[1]), int(sys.argv[2])
    resizes = [tuple(int(x) for x in arg.split(":")) for arg in sys.argv[3:]]
    data = sys.stdin.buffer.read()
    screen = pyte.Screen(columns, rows)
    stream = pyte.ByteStream(screen)
    at = 0
    for offset, new_columns, new_rows in sorted(resizes):
        stream.feed(data[at:offset])
        screen.resize(new_rows, new_columns)
        at = max(at, offset)
    stream.feed(data[at:])
    for line in screen.display:
        print(line.rstrip())
    state = "hidden" if screen.cursor.hidden else "shown"
    print(f"cursor {screen.cursor.y} {screen.cursor.x} {state}")


if __name__ == "__main__":
    main()
