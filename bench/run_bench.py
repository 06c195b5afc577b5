#!/usr/bin/env python3
"""Runs the benchmark programs (median of 9 repetitions each) on catalogues made here, and prints a
Markdown table of the comparisons with their ratios; the table is also written to bench/results.md.

usage: run_bench.py BUILD_DIR"""
import json
import os
import platform
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SIZES = (1000, 5000, 50000)


def medians(program, data):
    env = dict(os.environ, RUVO_BENCH_DATA=data)
    out = subprocess.run([program, "--benchmark_repetitions=9", "--benchmark_report_aggregates_only=true",
                          "--benchmark_format=json"], env=env, capture_output=True, text=True, check=True).stdout
    result = {}
    for item in json.loads(out)["benchmarks"]:
        if item.get("aggregate_name") == "median":
            result[item["run_name"]] = (item["real_time"], item["time_unit"])
    return result


def main():
    build = sys.argv[1]
    data = os.path.join(build, "bench-data")
    os.makedirs(data, exist_ok=True)
    for n in SIZES:
        path = os.path.join(data, "catalogue-%d.plist" % n)
        if not os.path.exists(path):
            subprocess.run([sys.executable, os.path.join(HERE, "make_catalogue.py"), str(n), path], check=True)
    figures = medians(os.path.join(build, "bench_formats"), data)

    def figure(name):
        return figures.get(name, (float("nan"), ""))

    rows = ["| comparison | ours | theirs | ratio |", "|---|---|---|---|"]
    for n in SIZES:
        ours, unit = figure("ParseOurs/%d" % n)
        theirs, _ = figure("ParseLibplist/%d" % n)
        rows.append("| parse + free, %d ringtones (CParseBplist vs plist_from_bin) | %.2f %s | %.2f %s | %.2f × |"
                    % (n, ours, unit, theirs, unit, ours / theirs))
    for n in SIZES:
        ours, unit = figure("ToStringOurs/%d" % n)
        parse, _ = figure("ParseOurs/%d" % n)
        xml, _ = figure("ToXmlLibplist/%d" % n)
        rows.append("| ToString, %d ringtones (vs our parse + free; libplist's plist_to_xml: %.2f %s) | %.2f %s | %.2f %s | %.2f × |"
                    % (n, xml, unit, ours, unit, parse, unit, ours / parse))
    utf8, unit = figure("TextToUtf8Ours/5000")
    rows.append("| TextToUtf8 of the 5,000 catalogue's text | %.2f %s | | |" % (utf8, unit))
    request, unit = figure("ReadRequest")
    rows.append("| a 1 KB addring request: Utf8OrAnsiToText + CJson::Parse | %.1f %s | | |" % (request, unit))
    machine = "%s, %d cores, %s" % (platform.processor() or platform.machine(), os.cpu_count(), platform.platform())
    table = "Medians of 9 repetitions on %s.\n\n%s\n" % (machine, "\n".join(rows))
    print(table)
    with open(os.path.join(HERE, "results.md"), "w") as out:
        out.write("# Benchmark results\n\n" + table)


if __name__ == "__main__":
    main()
