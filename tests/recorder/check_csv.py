"""Reads a recording as an ordinary CSV reader does, without options: python's csv module and,
where it is installed, pandas. Run by ctest with the sample recorder's path."""
import csv
import datetime
import math
import subprocess
import sys
import tempfile

EXPECTED = [
    # quantity, branch, value, unit, text
    ("connection", 0, 1.0, "", ""),
    ("serial_number", 0, 1234.0, "", ""),
    ("current", 1, 12.5, "A", ""),
    ("current", 2, 0.29, "A", ""),
    ("current_max", 1, 40.0, "A", ""),
    ("frequency", 1, 200000.01, "Hz", ""),
    ("trigger_mode", 2, 2.0, "", "CW"),
    ("emission", 0, 1.0, "", ""),
    ("running_time", 0, 74045.0, "min", ""),
    ("error_code", 0, 93.0, "", "General protection (interlock is open)."),
    ("command_refused", 0, None, "", 'w62 "1,5"'),
    ("command_timeout", 0, None, "", "r6\u00b5 "),
    ("error_code", 0, 7.0, "", 'Temperature, "laser head"  out of range'),
    ("connection", 0, 0.0, "", ""),
]
HEADER = ["time", "elapsed_s", "sn", "branch", "quantity", "value", "unit", "text"]


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def main():
    with tempfile.TemporaryDirectory() as folder:
        path = subprocess.run([sys.argv[1], folder], check=True, capture_output=True,
                              text=True).stdout.strip()
        with open(path, newline="", encoding="utf-8") as f:
            rows = list(csv.reader(f))
        if rows[0] != HEADER:
            fail("header %r" % rows[0])
        if len(rows) != len(EXPECTED) + 1:
            fail("%d rows" % (len(rows) - 1))
        last = None
        for n, (row, want) in enumerate(zip(rows[1:], EXPECTED), 1):
            if len(row) != len(HEADER):
                fail("row %d has %d fields: %r" % (n, len(row), row))
            time = datetime.datetime.fromisoformat(row[0])
            if time.utcoffset() != datetime.timedelta(hours=2):
                fail("row %d: offset of %s" % (n, row[0]))
            if last is not None and time <= last:
                fail("row %d: time does not advance" % n)
            last = time
            elapsed = float(row[1])
            if abs(elapsed - 0.25 * n) > 1e-9 or len(row[1].split(".")[1]) != 3:
                fail("row %d: elapsed_s %s" % (n, row[1]))
            quantity, branch, value, unit, text = want
            got = (row[4], int(row[3]), float(row[5]) if row[5] else None, row[6], row[7])
            if got != want:
                fail("row %d: %r, expected %r" % (n, got, want))
            if row[2] not in ("", "1234"):
                fail("row %d: sn %r" % (n, row[2]))
        print("csv module: %d rows read as written" % (len(rows) - 1))

        try:
            import pandas
        except ImportError:
            print("pandas is not installed here; not tried")
            return
        frame = pandas.read_csv(path)
        if list(frame.columns) != HEADER or len(frame) != len(EXPECTED):
            fail("pandas: %r, %d rows" % (list(frame.columns), len(frame)))
        if frame["value"].dtype.kind != "f" or not math.isclose(frame["value"][5], 200000.01):
            fail("pandas: value column %r" % frame["value"].tolist())
        if frame["text"][10] != 'w62 "1,5"':
            fail("pandas: text %r" % frame["text"][10])
        pandas.to_datetime(frame["time"])
        print("pandas: %d rows read as written" % len(frame))


main()
