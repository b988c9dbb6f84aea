#!/usr/bin/env python3
"""Writes the benchmark report (Markdown, on standard output) from the results
that scripts/bench leaves in a directory:

  NAME.json / NAME.status        a Google Benchmark executable (JSON output;
                                 status = "exit-code milliseconds")
  NAME.script.stdout / .status   a timing script bench/NAME.sh

Anchors: the pairs in KNOWN_ANCHORS below; besides, within one executable,
a benchmark whose name contains "anchor" (any case) is the yardstick of the
others; each other benchmark gets the
ratio of its time to its anchor's (the anchor with the same arguments, else
the first anchor). Scripts print figures as lines "name: value [unit]"; a
figure whose name contains "ratio" is a headline.

usage: report.py RESULTS_DIR [--expect-from BENCH_SOURCE_DIR]
"""
import argparse
import datetime
import glob
import json
import os
import platform
import re
import subprocess
import sys

FIGURE_RE = re.compile(r"^\s*([A-Za-z][^:=]{0,80}?)\s*[:=]\s*([-+]?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?)(?:\s+(\S+))?\s*$")
RATIO_LINE_RE = re.compile(r"\bratio\b[ :=]*[-+]?\d", re.I)
UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def machine():
    model, mhz = "unknown", ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name") and model == "unknown":
                    model = line.split(":", 1)[1].strip()
                if line.startswith("cpu MHz") and not mhz:
                    mhz = line.split(":", 1)[1].strip()
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            kb = int(f.readline().split()[1])
            mem = "%.1f GiB" % (kb / 1024 / 1024)
    except (OSError, ValueError, IndexError):
        pass
    cores = os.cpu_count()
    try:
        cores = int(subprocess.run(["nproc"], stdout=subprocess.PIPE, text=True).stdout.strip())
    except (OSError, ValueError):
        pass
    return model, mhz, cores, mem


def gitCommit():
    try:
        out = subprocess.run(["git", "rev-parse", "--short", "HEAD"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True).stdout.strip()
        return out or "unknown"
    except OSError:
        return "unknown"


def readStatus(path):
    try:
        with open(path) as f:
            rc, ms = f.read().split()
            return int(rc), int(ms)
    except (OSError, ValueError):
        return None, None


def expectedBenchmarks(source_dir):
    """Names declared with ostravel_bench(...) in the bench fragments."""
    names = set()
    for path in glob.glob(os.path.join(source_dir, "*.cmake")):
        with open(path) as f:
            names.update(re.findall(r"^\s*ostravel_bench\(\s*([A-Za-z0-9_]+)", f.read(), re.M))
    names.discard("name")
    return sorted(names)


def fmtTime(ns):
    if ns is None:
        return "-"
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return "%.3g %s" % (ns / scale, unit)
    return "%.3g ns" % ns


def fmtRate(x):
    for unit, scale in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if x >= scale:
            return "%.3g%s" % (x / scale, unit)
    return "%.3g" % x


def argsOf(name):
    return name.split("/", 1)[1] if "/" in name else ""


def loadRuns(path):
    with open(path) as f:
        data = json.load(f)
    runs = []
    for b in data.get("benchmarks", []):
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") not in ("median",):
            continue
        if b.get("error_occurred"):
            runs.append({"name": b.get("name", "?"), "error": b.get("error_message", "error")})
            continue
        scale = UNIT_NS.get(b.get("time_unit", "ns"), 1.0)
        counters = {k: v for k, v in b.items() if isinstance(v, (int, float)) and k not in (
            "real_time", "cpu_time", "iterations", "repetitions", "repetition_index", "threads",
            "family_index", "per_family_instance_index")}
        runs.append({"name": b.get("name", "?"), "real_ns": b.get("real_time", 0) * scale,
                     "cpu_ns": b.get("cpu_time", 0) * scale, "iterations": b.get("iterations", 0),
                     "counters": counters, "label": b.get("label", "")})
    return data.get("context", {}), runs


# Anchors named by the areas' benchmarks: (executable, benchmark regex,
# anchor template (may use the benchmark regex's groups), metric, what it
# says). The metric is "time" (real time per iteration) or a counter name;
# for a rate counter the ratio reads "x the anchor's rate".
KNOWN_ANCHORS = [
    ("bench_rocktreed", r"BM_NodeBuild/1/.*", r"BM_JpegAlone.*", "median_us",
     "node build (median) / libjpeg-turbo encode alone (goal <= 3)"),
    ("bench_rocktreed", r"BM_NodeBuild/6/(.*)", r"BM_NodeBuild/1/\1", "median_us",
     "node build with CRN / with JPEG, median of 200 nodes (goal <= 2)"),
    ("bench_rocktreed", r"BM_InsetNodeBuild.*", r"BM_NodeBuild/.*", "p95_us",
     "node build over a 1 GB user layer / over the built-in planet, p95 (goal: p95 <= 3 ms)"),
    ("bench_crn", r"BM_CrnDecodeOurs/(\d+)", r"BM_CrunchDecode/\1/manual_time", "time",
     "our CRN decode / crunch's decode (crunch: a process per decode, start-up included)"),
    ("bench_crn", r"BM_CrnDecodeOurs/(\d+)", r"BM_MemcpyOutput/\1", "time",
     "our CRN decode / memcpy of its output"),
    ("bench_crn", r"BM_EncodeCrn256", r"BM_EncodeJpeg256", "time", "CRN encode / JPEG encode"),
    ("bench_crn", r"BM_BuildNode/crn:1/(.*)", r"BM_BuildNode/crn:0/\1", "time",
     "node build with CRN / with JPEG (goal <= 2)"),
    ("bench_crn", r"BM_Dxt1Stb256", r"BM_Dxt1SquishRangeFit256", "time", "DXT1: stb_dxt / libsquish range fit"),
    ("bench_decoders", r"BM_StbJpegDecode(.*)", r"BM_BareJpegDecode\1", "time", "stb_image decode / libjpeg-turbo decode"),
    ("bench_decoders", r"BM_PopulateNode(.*)", r"BM_BareJpegDecode\1", "time", "node population / its JPEG decode alone"),
    ("bench_fetch", r"BM_FetchWebpool8(.*)", r"BM_CurlParallel8\1", "req_per_s",
     "fetchData on 8 threads / curl 8 parallel, rate (goal >= 0.9)"),
    ("bench_fetch", r"BM_FetchSequential(.*)", r"BM_CurlSequential\1", "req_per_s",
     "fetchData sequential / curl sequential, rate"),
    ("bench_disk_cache", r"BM_DiskCacheRead(.*)", r"BM_CatFiles\1", "bytes_per_second",
     "disk cache read / cat of the same answers as files, rate (page cache warm)"),
]


def metricOf(run, metric):
    if metric == "time":
        return run.get("real_ns")
    return run.get("counters", {}).get(metric)


def knownRatios(exe, runs):
    ratios = []
    by_name = {r["name"]: r for r in runs if "error" not in r}
    for name_exe, name_re, anchor_tpl, metric, text in KNOWN_ANCHORS:
        if name_exe != exe:
            continue
        for r in by_name.values():
            m = re.fullmatch(name_re, r["name"])
            if not m:
                continue
            anchor_re = m.expand(anchor_tpl)
            anchors = [a for n, a in by_name.items() if re.fullmatch(anchor_re, n)]
            if not anchors:
                continue
            a = anchors[0]
            x, y = metricOf(r, metric), metricOf(a, metric)
            if x and y:
                ratios.append((r["name"], a["name"], x / y, text))
    return ratios


def anchorRatios(runs):
    anchors = [r for r in runs if "anchor" in r["name"].lower() and "error" not in r]
    ratios = []
    if not anchors:
        return ratios
    for r in runs:
        if r in anchors or "error" in r or not r["real_ns"]:
            continue
        same = [a for a in anchors if argsOf(a["name"]) == argsOf(r["name"])]
        a = (same or anchors)[0]
        if a["real_ns"]:
            ratios.append((r["name"], a["name"], r["real_ns"] / a["real_ns"]))
    return ratios


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("results")
    ap.add_argument("--expect-from", default=None)
    args = ap.parse_args()

    model, mhz, cores, mem = machine()
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    out = []
    w = out.append
    w("# Benchmark report")
    w("")
    w("Generated by `make bench` (scripts/bench, bench/report.py); do not edit by hand.")
    w("")
    w("| | |")
    w("|---|---|")
    w("| date | %s |" % now)
    w("| commit | %s |" % gitCommit())
    w("| machine | %s%s |" % (model, (", %s MHz" % mhz) if mhz else ""))
    w("| cores (nproc) | %s |" % cores)
    w("| memory | %s |" % mem)
    w("| system | %s %s |" % (platform.system(), platform.release()))
    w("")

    headlines, sections, problems = [], [], []
    found = set()

    for path in sorted(glob.glob(os.path.join(args.results, "*.status"))):
        base = os.path.basename(path)[:-len(".status")]
        rc, ms = readStatus(path)
        if base.endswith(".script"):
            name = base[:-len(".script")]
            found.add(name + ".sh")
            try:
                with open(os.path.join(args.results, base + ".stdout"), errors="replace") as f:
                    text = f.read()
            except OSError:
                text = ""
            figures = [(k, v, u or "") for k, v, u in
                       (m.groups() for m in map(FIGURE_RE.match, text.splitlines()) if m)]
            for line in text.splitlines():
                if RATIO_LINE_RE.search(line) and not FIGURE_RE.match(line):
                    headlines.append("%s.sh: %s" % (name, line.strip()))
            sec = ["## %s (bench/%s.sh)" % (name, name), ""]
            if rc != 0:
                problems.append("`bench/%s.sh` failed with status %s after %s ms" % (name, rc, ms))
                sec.append("**Failed** with status %s after %s ms; its figures below may be partial." % (rc, ms))
                sec.append("")
            if figures:
                sec += ["| figure | value | unit |", "|---|---:|---|"]
                for k, v, u in figures:
                    sec.append("| %s | %s | %s |" % (k.strip(), v, u))
                    if "ratio" in k.lower():
                        headlines.append("%s (%s.sh): **%s** %s" % (k.strip(), name, v, u))
            else:
                tail = [l for l in text.splitlines() if l.strip()][-20:]
                sec += ["Its output (last lines):", "", "```"] + tail + ["```"] if tail else ["No output."]
            sec.append("")
            sections.append(sec)
            continue

        name = base
        found.add(name)
        sec = ["## %s" % name, ""]
        json_path = os.path.join(args.results, name + ".json")
        runs = []
        if os.path.exists(json_path) and os.path.getsize(json_path) > 0:
            try:
                ctx, runs = loadRuns(json_path)
            except (OSError, ValueError) as e:
                problems.append("`%s` wrote unreadable JSON (%s)" % (name, e))
        if rc != 0:
            problems.append("`%s` failed with status %s after %s ms" % (name, rc, ms))
            sec += ["**Failed** with status %s after %s ms%s." % (
                rc, ms, "; the runs it finished are below" if runs else ""), ""]
        if runs:
            sec += ["| benchmark | time (real) | CPU | iterations | rates and counters |",
                    "|---|---:|---:|---:|---|"]
            for r in runs:
                if "error" in r:
                    sec.append("| %s | error: %s | | | |" % (r["name"], r["error"]))
                    problems.append("`%s` %s: %s" % (name, r["name"], r["error"]))
                    continue
                extra = ", ".join("%s %s" % (k.replace("_", " "), fmtRate(v)) for k, v in sorted(r["counters"].items()))
                sec.append("| %s | %s | %s | %d | %s |" % (r["name"], fmtTime(r["real_ns"]), fmtTime(r["cpu_ns"]),
                                                          r["iterations"], extra))
            known = knownRatios(name, runs)
            if known:
                sec += ["", "| benchmark | anchor | ratio | meaning |", "|---|---|---:|---|"]
                for b, a, x, text in known:
                    sec.append("| %s | %s | %.2f | %s |" % (b, a, x, text))
                    headlines.append("%s: **%.2f** (%s vs %s)" % (text, x, b, a))
            ratios = anchorRatios(runs)
            if ratios:
                sec += ["", "| benchmark | anchor | time / anchor time |", "|---|---|---:|"]
                for b, a, x in ratios:
                    sec.append("| %s | %s | %.2f |" % (b, a, x))
                    headlines.append("%s: %s takes **%.2f x** the time of %s" % (name, b, x, a))
        elif rc == 0:
            sec.append("No benchmark runs in the output.")
        sec.append("")
        sections.append(sec)

    if args.expect_from:
        for name in expectedBenchmarks(args.expect_from):
            if name not in found:
                problems.append("`%s` is declared in bench/ but was not built, so it did not run" % name)
        for script in sorted(glob.glob(os.path.join(args.expect_from, "*.sh"))):
            if os.path.basename(script) not in found:
                problems.append("`bench/%s` did not run" % os.path.basename(script))

    w("## Headlines")
    w("")
    if headlines:
        for h in headlines:
            w("- " + h)
    else:
        w("No anchored ratios in this run.")
    w("")
    if problems:
        w("## What did not run cleanly")
        w("")
        for p in problems:
            w("- " + p)
        w("")
    if not sections:
        w("No benchmark results were found in `%s`." % args.results)
        w("")
    for sec in sections:
        out.extend(sec)
    sys.stdout.write("\n".join(out).rstrip() + "\n")


if __name__ == "__main__":
    main()
