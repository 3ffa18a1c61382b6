#!/usr/bin/python3
"""Draws the echo measurements of bench/results.json (written by
bench/run_bench.py) with gnuplot into docs/bench/*.svg, the pictures of
docs/bench.md: efficiency against payload per line speed, ours over pyserial
per row, and CPU per exchange. Run by ./run bench after run_bench.py.

  plot_bench.py [RESULTS.json [OUTPUT_DIR]]
"""
import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAYLOADS = [0, 16, 255, 1019]
# The series of the efficiency and CPU pictures: host, build, legend, style.
# Ours solid, the peers dashed; native in one hue, Wine in another.
SERIES = [
    ("ours", "native", "ours, native", 'lc rgb "#1f5fa8" dt 1 pt 7'),
    ("pyserial", "native", "pyserial, native", 'lc rgb "#d07a00" dt 2 pt 5'),
    ("piece", "native", "piece, native", 'lc rgb "#3a9a3a" dt 4 pt 9'),
    ("ours", "wine", "ours, under Wine", 'lc rgb "#b01f1f" dt 1 pt 6'),
    ("piece", "wine", "piece, under Wine", 'lc rgb "#7a3aa0" dt 4 pt 8'),
]
# Size and name (the SVG's <title>) of each picture.
TERMINAL = 'set terminal svg size %d,%d font "sans,13" background rgb "white" name "echo_%s"\n'
PAYLOAD_TICS = "set xtics (%s)\n" % ", ".join('"%d" %d' % (p, i) for i, p in enumerate(PAYLOADS))


def line_name(line, short=False):
    if line is None:
        return "unpaced"
    speed = "%g Mbaud" % (line / 1000000) if line >= 1000000 else "%d baud" % line
    return speed if short else speed + ", paced"


def lines_of(rows):
    """The lines measured, in the tables' order: paced by speed, then unpaced."""
    paced = sorted({row["line"] for row in rows if row["line"] is not None})
    return paced + ([None] if any(row["line"] is None for row in rows) else [])


def value(rows, host, build, line, payload, key):
    for row in rows:
        if (row["host"], row["build"], row["line"], row["payload"]) == (host, build, line, payload):
            return row[key]
    return None


def series_block(name, rows, line, key):
    """A datablock with a column per series (x = the payload's index); NaN
    where a series was not measured."""
    text = "$%s << EOD\n" % name
    for index, payload in enumerate(PAYLOADS):
        values = [value(rows, host, build, line, payload, key) for host, build, _, _ in SERIES]
        text += "%d %s\n" % (index, " ".join("NaN" if v is None else repr(v) for v in values))
    return text + "EOD\n"


def series_plot(name):
    """The series from a datablock; with no name, empty ones for the legend."""
    source = "$%s using 1:%d" if name else "NaN"
    return "plot " + ", \\\n     ".join(
        "%s with linespoints lw 2 %s title \"%s\"" % (
            source % (name, column + 2) if name else source, style, title)
        for column, (_, _, title, style) in enumerate(SERIES)) + "\n"


def panels(rows, lines, key, title, ylabel, settings):
    """A picture of one panel per line, the same series in each, and one
    legend across the foot of the picture: its size and script."""
    script = "set multiplot title \"%s\" font \"sans,15\"\n" % title
    script += PAYLOAD_TICS + settings
    script += "set xrange [-0.3:%g]\nset xlabel \"payload (bytes)\"\nset ylabel \"%s\"\n" % (
        len(PAYLOADS) - 0.7, ylabel)
    script += "set grid ytics\nunset key\nset bmargin at screen 0.22\nset tmargin at screen 0.86\n"
    width = 0.97 / len(lines)  # 0.07 to 0.98, 0.06 between panels
    for index, line in enumerate(lines):
        name = "panel%d" % index
        left = 0.07 + index * width
        script += series_block(name, rows, line, key)
        script += "set lmargin at screen %.4f\nset rmargin at screen %.4f\n" % (left, left + width - 0.06)
        script += "set title \"%s\"\n" % line_name(line)
        script += series_plot(name)
        script += "unset ylabel\n"
    # The legend: an empty plot across the foot of the picture, its key only.
    script += ("set lmargin at screen 0.02\nset rmargin at screen 0.98\nset bmargin at screen 0\n"
               "set tmargin at screen 0.1\nunset border\nunset tics\nunset grid\nunset xlabel\n"
               "unset title\nunset logscale y\nset yrange [0:1]\n"
               "set key center center horizontal maxrows 1 width 2 font \"sans,13\"\n")
    script += series_plot(None)
    return (430 * len(lines), 560), script + "unset multiplot\n"


def efficiency(rows, run):
    lines = [line for line in lines_of(rows) if line is not None]
    return panels(rows, lines, "efficiency",
                  "Echo exchange: efficiency against payload; Wine runs build/win64 (%s)" % run,
                  "efficiency (line time / measured time)", "set yrange [0:1.05]\n")


def cpu(rows, run):
    return panels(rows, lines_of(rows), "cpu_ms",
                  "Echo exchange: CPU per exchange, of the host and under Wine (build/win64) "
                  "also the wineserver (%s)" % run,
                  "CPU per exchange (ms, log scale)",
                  "set logscale y\nset yrange [0.001:1000]\nset format y \"%g\"\n")


def ratio(rows, run):
    """Ours over pyserial, native: a group of bars per line, a bar per payload."""
    lines = [line for line in lines_of(rows)
             if any(value(rows, "ours", "native", line, payload, "exchanges_per_s")
                    and value(rows, "pyserial", "native", line, payload, "exchanges_per_s")
                    for payload in PAYLOADS)]
    if not lines:
        return None, None
    script = "set title \"Echo exchange: ours ÷ pyserial, exchanges per second, native (%s)\" " \
             "font \"sans,15\"\n" % run
    script += "$ratio << EOD\n"
    for line in lines:
        values = []
        for payload in PAYLOADS:
            ours = value(rows, "ours", "native", line, payload, "exchanges_per_s")
            peer = value(rows, "pyserial", "native", line, payload, "exchanges_per_s")
            values.append(repr(round(ours / peer, 3)) if ours and peer else "NaN")
        script += "\"%s\" %s\n" % (line_name(line, short=True), " ".join(values))
    script += "EOD\n"
    script += ("set style data histograms\nset style histogram clustered gap 1\n"
               "set style fill solid 0.85 border -1\nset boxwidth 0.9\n"
               "set yrange [0:*]\nset grid ytics\n"
               "set ylabel \"ours ÷ pyserial (above 1: ours is faster)\"\n"
               "set xlabel \"line (paced at its speed, or unpaced)\"\n"
               "set key outside right top title \"payload (bytes)\"\n"
               "set arrow from graph 0, first 1 to graph 1, first 1 nohead dt 2 lw 2 lc rgb \"#444444\" front\n")
    colours = ["#9ecae1", "#4a90c8", "#1f5fa8", "#0b2f5e"]
    script += "plot " + ", \\\n     ".join(
        "$ratio using %d:xtic(1) title \"%d\" lc rgb \"%s\"" % (index + 2, payload, colours[index])
        for index, payload in enumerate(PAYLOADS)) + "\n"
    return (900, 520), script


def main():
    source = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "bench/results.json")
    out_dir = sys.argv[2] if len(sys.argv) > 2 else os.path.join(ROOT, "docs/bench")
    with open(source) as data:
        results = json.load(data)
    rows, run = results["echo"], results["run"].split(",")[0]
    os.makedirs(out_dir, exist_ok=True)
    for name, draw in (("efficiency", efficiency), ("ratio", ratio), ("cpu", cpu)):
        path = os.path.join(out_dir, name + ".svg")
        size, body = draw(rows, run)
        if body is None:
            print("%s not drawn: no line with both hosts measured" % name)
            continue
        script = TERMINAL % (size + (name,))
        script += "set output \"%s\"\n" % path.replace("\\", "\\\\").replace('"', '\\"') + body
        subprocess.run(["gnuplot"], input=script.encode(), check=True)
        print("wrote %s" % os.path.relpath(path, ROOT))


if __name__ == "__main__":
    main()
