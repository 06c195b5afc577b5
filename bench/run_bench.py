#!/usr/bin/env python3
"""Runs the benchmarks on inputs made here and prints a Markdown table of the results: each figure
is the median of 9 repetitions, a comparison shows both sides (measured in the same run, on the
same input) and their ratio. The table is also written to bench/results.md.

usage: run_bench.py BUILD_DIR [OTHER_RUVO_TOOL]

BUILD_DIR is the release build with the benchmark programs (build-bench/); OTHER_RUVO_TOOL, when
given, is a second ruvo-tool (the RelWithDebInfo one of the normal build) for the whole-process
comparison. RUVO_BENCH_JSON_N sets N of the JSON reader's inputs (200,000 unless
set; smaller sizes are quicker to try).

What is measured:
- the formats' hot paths against libplist in one process (bench_formats);
- whole processes: `ruvo-tool bplist` of the 5,000 catalogue against bench's plist_to_xml (libplist
  alone), in alternating pairs; the median of the per-pair ratios;
- the JSON reader (`ruvo-tool json`) on deep inputs against a flat array of the same length:
  wall time and peak resident memory of each process;
- the device layer on an in-process virtual phone (bench_device): AFC transfers of 8 MiB against
  a plain socket-and-file copy, and the addition and deletion of a 1 MB ringtone;
- the idle assistant: CPU time and peak memory of `ruvo --headless` serving a phone with two
  companion apps, nine at once, each with a phone, hub and home of its own;
- audio: `ruvo-tool addring` of a 60 s MP3 (a 40 s ringtone, through the conversion helper, onto a
  virtual phone) against gst-launch-1.0 running decode, resample, AAC and MP4 on the same file, in
  alternating pairs; and the peak memory of the helper alone converting a 10-minute MP3."""
import json
import os
import platform
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SIZES = (1000, 5000, 50000)
REPETITIONS = 9
# A child that runs longer than this is killed and shown as "timeout": a slow program cannot hold
# the whole run up.
CHILD_TIMEOUT_S = 120
MB = 1e6
# The companion apps an idle assistant serves.
COMPANION_APPS = ("com.mrz4.ringtone.pid40ch1", "com.mrz4.ringtone.pid40ch2")
IDLE_SETTLE_S = 10
IDLE_WINDOW_S = 60
IDLE_GOAL_CPU_S = 0.6
IDLE_GOAL_HWM_MB = 25


def benchmark_medians(program, env=None):
    """The median real time of every benchmark of a Google Benchmark program: name -> (time, unit)."""
    out = subprocess.run([program, "--benchmark_repetitions=%d" % REPETITIONS,
                          "--benchmark_report_aggregates_only=true", "--benchmark_format=json"],
                         env=dict(os.environ, **(env or {})), capture_output=True, text=True, check=True).stdout
    result = {}
    for item in json.loads(out)["benchmarks"]:
        if item.get("aggregate_name") == "median":
            if item.get("error_occurred"):
                result[item["run_name"]] = (float("nan"), item.get("error_message", "error"))
            else:
                result[item["run_name"]] = (item["real_time"], item["time_unit"])
    return result


class Child:
    """One finished child process: wall time from its spawn (fork and exec) to its reaping, and
    what wait4 reported of it."""

    def __init__(self, wall, status, usage, timed_out):
        self.wall = wall
        self.status = status
        self.cpu = usage.ru_utime + usage.ru_stime
        self.maxrss_mb = usage.ru_maxrss * 1024 / MB
        self.timed_out = timed_out

    def failure(self):
        """Why the child's figures do not count, or None."""
        if self.timed_out:
            return "timeout"
        if os.WIFSIGNALED(self.status):
            return "signal %d" % os.WTERMSIG(self.status)
        if os.WEXITSTATUS(self.status) != 0:
            return "exit %d" % os.WEXITSTATUS(self.status)
        return None


def run_child(argv, stdin_path=None, timeout=None):
    """Runs argv with standard input from the file (or /dev/null) and standard output to /dev/null.
    The child is watched through a pidfd, so its end is seen at once and a child past the timeout
    is killed without any risk of signalling a reused pid."""
    stdin_fd = os.open(stdin_path or os.devnull, os.O_RDONLY | os.O_CLOEXEC)
    null_fd = os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)
    try:
        actions = [(os.POSIX_SPAWN_DUP2, stdin_fd, 0), (os.POSIX_SPAWN_DUP2, null_fd, 1)]
        start = time.perf_counter()
        pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
        pidfd = os.pidfd_open(pid)
        try:
            ended, _, _ = select.select([pidfd], [], [], CHILD_TIMEOUT_S if timeout is None else timeout)
            timed_out = not ended
            if timed_out:
                signal.pidfd_send_signal(pidfd, signal.SIGKILL)
            _, status, usage = os.wait4(pid, 0)
            wall = time.perf_counter() - start
        finally:
            os.close(pidfd)
    finally:
        os.close(stdin_fd)
        os.close(null_fd)
    return Child(wall, status, usage, timed_out)


def ratio_text(value):
    return "%.2f ×" % value


def ms(seconds):
    return "%.1f ms" % (seconds * 1000)


def whole_process_rows(ruvo_tool, plist_to_xml, catalogue, label):
    """ruvo-tool bplist against plist_to_xml in REPETITIONS pairs; the order within a pair
    alternates, after one unmeasured run of each (the file in the page cache, the programs
    loaded once)."""
    ours_argv = [ruvo_tool, "bplist", catalogue]
    theirs_argv = [plist_to_xml, catalogue]
    for argv in (ours_argv, theirs_argv):
        warm = run_child(argv)
        if warm.failure():
            return ["| whole process, %s: not measured (%s failed: %s) | | | |"
                    % (label, os.path.basename(argv[0]), warm.failure())]
    pairs = []
    for i in range(REPETITIONS):
        if i % 2 == 0:
            ours, theirs = run_child(ours_argv), run_child(theirs_argv)
        else:
            theirs, ours = run_child(theirs_argv), run_child(ours_argv)
        failed = ours.failure() or theirs.failure()
        if failed:
            return ["| whole process, %s: not measured (a run failed: %s) | | | |" % (label, failed)]
        pairs.append((ours, theirs))
    med = statistics.median
    wall_ratio = med(o.wall / t.wall for o, t in pairs)
    cpu_ratio = med(o.cpu / t.cpu for o, t in pairs if t.cpu > 0) if any(t.cpu > 0 for _, t in pairs) else float("nan")
    return [
        "| whole process, %s: `ruvo-tool bplist` vs `plist_to_xml` (libplist, C) of the 5,000 catalogue, wall time "
        "(ratio: median of %d per-pair ratios) | %s | %s | %s |"
        % (label, REPETITIONS, ms(med(o.wall for o, _ in pairs)), ms(med(t.wall for _, t in pairs)), ratio_text(wall_ratio)),
        "| whole process, %s: the same pairs, user + system CPU | %s | %s | %s |"
        % (label, ms(med(o.cpu for o, _ in pairs)), ms(med(t.cpu for _, t in pairs)), ratio_text(cpu_ratio)),
    ]


def flat_array(length):
    """[1,1,...,1] of exactly length bytes (padded with a trailing space when length is even)."""
    ones = max((length - 1) // 2, 1)
    flat = "[" + ",".join(["1"] * ones) + "]"
    return flat + " " * (length - len(flat))


def json_inputs(data, n):
    """The two deep shapes at N and, for each, a flat array [1,1,...,1] of the same byte length:
    N colons (N bytes) and {"a": x N, 1, } x N (6N + 1 bytes)."""
    inputs = {"colons": ":" * n, "nested": '{"a":' * n + "1" + "}" * n}
    inputs["flat-colons"] = flat_array(len(inputs["colons"]))
    inputs["flat-nested"] = flat_array(len(inputs["nested"]))
    paths = {}
    for name, text in inputs.items():
        paths[name] = os.path.join(data, "json-%s-%d.json" % (name, n))
        with open(paths[name], "w") as out:
            out.write(text)
    return paths


def json_runs(ruvo_tool, path):
    """REPETITIONS runs of `ruvo-tool json` on the file: (median wall, median peak RSS in MB), or
    the failure that stopped them (a timed-out run is not repeated)."""
    runs = []
    for _ in range(REPETITIONS):
        child = run_child([ruvo_tool, "json"], stdin_path=path)
        if child.failure():
            return child.failure()
        runs.append(child)
    return statistics.median(c.wall for c in runs), statistics.median(c.maxrss_mb for c in runs)


def json_rows(ruvo_tool, data, n):
    paths = json_inputs(data, n)
    results = {name: json_runs(ruvo_tool, path) for name, path in paths.items()}
    rows = []
    shapes = (("colons", "%d colons" % n, n),
              ("nested", "`{\"a\":`×%d `1` `}`×%d" % (n, n), 6 * n + 1))
    for name, text, length in shapes:
        ours = results[name]
        flat = results["flat-" + name]
        for what, index, show in (("wall time", 0, ms), ("peak RSS", 1, lambda v: "%.1f MB" % v)):
            ours_text = ours if isinstance(ours, str) else show(ours[index])
            flat_text = flat if isinstance(flat, str) else show(flat[index])
            ratio = ratio_text(ours[index] / flat[index]) if not isinstance(ours, str) and not isinstance(flat, str) else ""
            rows.append("| JSON reader, `ruvo-tool json` of %s vs a flat `[1,1,…,1]`, both %d bytes: %s (goal at most 3 ×) | %s | %s | %s |"
                        % (text, length, what, ours_text, flat_text, ratio))
    return rows


def device_rows(build):
    figures = benchmark_medians(os.path.join(build, "bench_device"))
    transfer = 8 << 20
    scales = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    rows = []

    def throughput(name):
        """MB/s of the benchmark's median time, or the text of its failure."""
        value, unit = figures.get(name + "/real_time", (float("nan"), "missing"))
        return (transfer / MB) / (value * scales[unit]) if unit in scales else unit

    for direction, ours_name, theirs_name, what in (
            ("up", "AfcUp", "PlainUp", "`AFCService::WriteFile` vs a socket-pair copy by two threads + writing the file"),
            ("down", "AfcDown", "PlainDown", "`AFCService::ReadFile` vs reading the file + a socket-pair copy by two threads")):
        ours, theirs = throughput(ours_name), throughput(theirs_name)
        both = not isinstance(ours, str) and not isinstance(theirs, str)
        rows.append("| AFC %s, 8 MiB on an in-process virtual phone: %s, throughput | %s | %s | %s |"
                    % (direction, what, ours if isinstance(ours, str) else "%.0f MB/s" % ours,
                       theirs if isinstance(theirs, str) else "%.0f MB/s" % theirs,
                       ratio_text(ours / theirs) if both else ""))
    value, unit = figures.get("AddAndDeleteRingtone/iterations:1/real_time", (float("nan"), "missing"))
    rows.append("| addring + delring of a 1 MB ringtone, both sync sessions, a fresh virtual phone each repetition "
                "(`DeviceLink::AddRingtone` + `DeleteRingtones`) | %s | | |"
                % ("%.1f %s" % (value, unit) if unit in scales else unit))
    return rows


def proc_cpu_seconds(pid):
    """utime + stime of the process (all its threads) from /proc/PID/stat, in seconds."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    # After the command's closing parenthesis, field 3 (state) is fields[0]: utime is field 14.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def proc_hwm_mb(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024 / MB
    return float("nan")


def idle_rows(build):
    """REPETITIONS idle assistants at once, each on a phone with the two companion apps, with a
    home and a hub of its own; every one is stopped with SIGTERM and reaped, whatever happens."""
    ruvo, phone_tool = os.path.join(build, "ruvo"), os.path.join(build, "ruvo-phone")
    root = tempfile.mkdtemp(prefix="ruvo-bench-idle-")
    children = []
    try:
        for i in range(REPETITIONS):
            base = os.path.join(root, str(i))
            os.makedirs(os.path.join(base, "home"))
            env = {k: v for k, v in os.environ.items()
                   if k not in ("XDG_STATE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "RUVO_REPORT_URL",
                                "DISPLAY", "WAYLAND_DISPLAY")}
            env.update(HOME=os.path.join(base, "home"), RUVO_PHONE_HUB=os.path.join(base, "hub"),
                       RUVO_DEVICE_DRIVER="virtual")
            phone = os.path.join(base, "phone")
            apps = [arg for app in COMPANION_APPS for arg in ("--app", app)]
            subprocess.run([phone_tool, "init", phone, "--name", "Idle %d" % i] + apps, env=env, check=True,
                           stdout=subprocess.DEVNULL)
            with open(os.path.join(base, "stderr"), "w") as err:
                children.append((subprocess.Popen([ruvo, "--headless", "--no-report", "--virtual-phone", phone],
                                                  env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                                  stderr=err), base))
        time.sleep(IDLE_SETTLE_S)
        problems = []
        for child, base in children:
            if child.poll() is not None:
                problems.append("assistant %s ended with %s" % (base, child.returncode))
            elif not any(line.endswith("panel: connected") for line in open(os.path.join(base, "stderr")).read().splitlines()):
                problems.append("assistant %s is not connected to its phone" % base)
        if problems:
            return ["| idle assistant: not measured (%s) | | | |" % "; ".join(problems)]
        start = {child.pid: proc_cpu_seconds(child.pid) for child, _ in children}
        began = time.monotonic()
        time.sleep(IDLE_WINDOW_S)
        cpu = [proc_cpu_seconds(child.pid) - start[child.pid] for child, _ in children]
        window = time.monotonic() - began
        hwm = [proc_hwm_mb(child.pid) for child, _ in children]
        # Both apps were served: each has its heartbeat file.
        for _, base in children:
            for app in COMPANION_APPS:
                beat = os.path.join(base, "phone", "containers", app, "Documents", "PCConnection", "Heartbeat")
                if not os.path.exists(beat):
                    problems.append("no heartbeat for %s in %s" % (app, base))
        note = " (%s)" % "; ".join(problems) if problems else ""
        cpu_median, hwm_median = statistics.median(cpu), statistics.median(hwm)
        return [
            "| idle assistant (`ruvo --headless --no-report --virtual-phone`, two companion apps), after %d s of "
            "settling: utime + stime over %.0f s; goal under %.1f CPU-s: %s%s | %.2f CPU-s | | |"
            % (IDLE_SETTLE_S, window, IDLE_GOAL_CPU_S, "met" if cpu_median < IDLE_GOAL_CPU_S else "NOT met", note,
               cpu_median),
            "| idle assistant, the same runs: VmHWM at the end; goal under %d MB: %s | %.1f MB | | |"
            % (IDLE_GOAL_HWM_MB, "met" if hwm_median < IDLE_GOAL_HWM_MB else "NOT met", hwm_median),
        ]
    finally:
        for child, _ in children:
            if child.poll() is None:
                child.send_signal(signal.SIGTERM)
        for child, _ in children:
            try:
                child.wait(timeout=10)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
        shutil.rmtree(root, ignore_errors=True)


def make_mp3(path, seconds):
    subprocess.run(["gst-launch-1.0", "-q", "audiotestsrc", "num-buffers=%d" % (seconds * 441 // 10),
                    "samplesperbuffer=1000", "volume=0.5", "!", "audio/x-raw,rate=44100,channels=2", "!",
                    "audioconvert", "!", "lamemp3enc", "!", "filesink", "location=" + path],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def helper_peak_mb(helper, source):
    """The conversion helper run directly, as the programs run it (the source on descriptor 3, the
    output on a memory file at 4, its report on a pipe at 5): its own peak resident memory."""
    src = os.open(source, os.O_RDONLY | os.O_CLOEXEC)
    out = os.memfd_create("bench-ringtone")
    read_end, write_end = os.pipe()
    try:
        actions = [(os.POSIX_SPAWN_DUP2, src, 3), (os.POSIX_SPAWN_DUP2, out, 4), (os.POSIX_SPAWN_DUP2, write_end, 5)]
        pid = os.posix_spawn(helper, [helper, "prepare", os.path.basename(source), "0", "40", "Bench"], os.environ,
                             file_actions=actions)
        os.close(write_end)
        report = b""
        while chunk := os.read(read_end, 65536):
            report += chunk
        _, status, usage = os.wait4(pid, 0)
    finally:
        for fd in (src, out, read_end):
            os.close(fd)
    done = status == 0 and report.endswith(b"done\n") and b"converted " in report
    return usage.ru_maxrss * 1024 / MB if done else None


def audio_rows(build):
    """The conversion: whole ruvo-tool addring processes against gst-launch-1.0 in alternating
    pairs, and the helper's peak memory."""
    tool, phone_tool = os.path.join(build, "ruvo-tool"), os.path.join(build, "ruvo-phone")
    helper = os.path.join(build, "ruvo-convert")
    root = tempfile.mkdtemp(prefix="ruvo-bench-audio-")
    saved = dict(os.environ)
    try:
        os.environ.update(RUVO_PHONE_HUB=os.path.join(root, "hub"), HOME=os.path.join(root, "home"),
                          RUVO_DEVICE_DRIVER="virtual", TMPDIR=root)
        os.makedirs(os.environ["HOME"])
        mp3, long_mp3 = os.path.join(root, "s60.mp3"), os.path.join(root, "s600.mp3")
        make_mp3(mp3, 60)
        make_mp3(long_mp3, 600)
        phone = os.path.join(root, "phone")
        subprocess.run([phone_tool, "init", phone], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([phone_tool, "plug", phone], check=True)
        ours_argv = [tool, "addring", mp3, "Bench"]
        theirs_argv = [shutil.which("gst-launch-1.0") or "gst-launch-1.0", "-q", "filesrc", "location=" + mp3, "!",
                       "decodebin", "!", "audioconvert", "!", "audioresample", "!",
                       "audio/x-raw,rate=44100,channels=2", "!", "avenc_aac", "bitrate=128000", "!", "mp4mux", "!",
                       "filesink", "location=" + os.path.join(root, "gst.m4a")]
        rows = []
        for argv in (ours_argv, theirs_argv):
            warm = run_child(argv)
            if warm.failure():
                return ["| audio: not measured (%s failed: %s) | | | |" % (os.path.basename(argv[0]), warm.failure())]
        pairs = []
        for i in range(REPETITIONS):
            first, second = (ours_argv, theirs_argv) if i % 2 == 0 else (theirs_argv, ours_argv)
            a, b = run_child(first), run_child(second)
            ours, theirs = (a, b) if i % 2 == 0 else (b, a)
            if ours.failure() or theirs.failure():
                return ["| audio: not measured (a run failed: %s) | | | |" % (ours.failure() or theirs.failure())]
            pairs.append((ours, theirs))
        med = statistics.median
        ratio = med(o.wall / t.wall for o, t in pairs)
        rows.append("| `ruvo-tool addring` of a 60 s MP3 (helper, 40 s AAC ringtone, the add to a virtual phone) vs "
                    "gst-launch-1.0 decode ! resample ! avenc_aac ! mp4mux of the same file (all 60 s), wall time; "
                    "goal at most 1.3 ×: %s | %s | %s | %s |"
                    % ("met" if ratio <= 1.3 else "NOT met", ms(med(o.wall for o, _ in pairs)),
                       ms(med(t.wall for _, t in pairs)), ratio_text(ratio)))
        peaks = [helper_peak_mb(helper, long_mp3) for _ in range(3)]
        if any(p is None for p in peaks):
            rows.append("| the conversion helper's peak memory, 10-minute MP3: not measured (a run failed) | | | |")
        else:
            peak = med(peaks)
            rows.append("| the conversion helper alone (`ruvo-convert prepare`) on a 10-minute MP3: peak resident "
                        "memory, median of 3; goal under 100 MB: %s | %.1f MB | | |"
                        % ("met" if peak < 100 else "NOT met", peak))
        return rows
    finally:
        os.environ.clear()
        os.environ.update(saved)
        shutil.rmtree(root, ignore_errors=True)


def formats_rows(build, data):
    figures = benchmark_medians(os.path.join(build, "bench_formats"), {"RUVO_BENCH_DATA": data})

    def figure(name):
        return figures.get(name, (float("nan"), ""))

    rows = []
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
    # Time per ringtone at 50,000 against that at 1,000 (goal: at most 1.3 ×), libplist's beside.
    for ours_name, theirs_name, what in (("ParseOurs", "ParseLibplist", "parse + free"),
                                         ("ToStringOurs", "ToXmlLibplist", "ToString (libplist: plist_to_xml)")):
        small, _ = figure("%s/1000" % ours_name)
        large, _ = figure("%s/50000" % ours_name)
        their_small, _ = figure("%s/1000" % theirs_name)
        their_large, _ = figure("%s/50000" % theirs_name)
        rows.append("| %s, time per ringtone at 50,000 vs at 1,000 (goal at most 1.3 ×; libplist: %.2f ×) | %.3f us | %.3f us | %.2f × |"
                    % (what, (their_large / 50000) / (their_small / 1000), large / 50, small, (large / 50000) / (small / 1000)))
    utf8, unit = figure("TextToUtf8Ours/5000")
    rows.append("| TextToUtf8 of the 5,000 catalogue's text | %.2f %s | | |" % (utf8, unit))
    answer, unit = figure("GetringAnswer/5000")
    rows.append("| the whole getring answer of the 5,000 catalogue: ToString, TextToAnsi, AnsiToUtf8 | %.2f %s | | |" % (answer, unit))
    request, unit = figure("ReadRequest")
    rows.append("| a 1 KB addring request: Utf8OrAnsiToText + CJson::Parse | %.1f %s | | |" % (request, unit))
    return rows


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    build = sys.argv[1]
    other_tool = sys.argv[2] if len(sys.argv) == 3 else None
    json_n = int(os.environ.get("RUVO_BENCH_JSON_N", "200000"))
    data = os.path.join(build, "bench-data")
    os.makedirs(data, exist_ok=True)
    for n in SIZES:
        path = os.path.join(data, "catalogue-%d.plist" % n)
        if not os.path.exists(path):
            subprocess.run([sys.executable, os.path.join(HERE, "make_catalogue.py"), str(n), path], check=True)

    rows = ["| comparison | ours | theirs | ratio |", "|---|---|---|---|"]
    rows += formats_rows(build, data)
    catalogue = os.path.join(data, "catalogue-5000.plist")
    plist_to_xml = os.path.join(build, "plist_to_xml")
    rows += whole_process_rows(os.path.join(build, "ruvo-tool"), plist_to_xml, catalogue,
                               "Release ruvo-tool (%s)" % build)
    if other_tool and os.access(other_tool, os.X_OK):
        rows += whole_process_rows(other_tool, plist_to_xml, catalogue, "RelWithDebInfo ruvo-tool (%s)" % other_tool)
    else:
        rows.append("| whole process, RelWithDebInfo ruvo-tool: not measured (%s) | | | |"
                    % ("no such program: %s" % other_tool if other_tool
                       else "no second ruvo-tool given: run_bench.py BUILD_DIR RUVO_TOOL"))
    rows += json_rows(os.path.join(build, "ruvo-tool"), data, json_n)
    rows += device_rows(build)
    rows += idle_rows(build)
    rows += audio_rows(build)

    machine = "%s, %d cores, %s" % (platform.processor() or platform.machine(), os.cpu_count(), platform.platform())
    notes = ("Whole processes: wall time from spawn to reaping, user + system CPU from wait4; a child over %d s "
             "is killed and shown as \"timeout\". MB = 10⁶ bytes. Single-threaded except the plain copies of the "
             "AFC rows (two threads) and the virtual phone, which serves each connection on a thread of its own."
             % CHILD_TIMEOUT_S)
    table = "Medians of %d repetitions on %s.\n\n%s\n\n%s\n" % (REPETITIONS, machine, "\n".join(rows), notes)
    print(table)
    with open(os.path.join(HERE, "results.md"), "w") as out:
        out.write("# Benchmark results\n\n" + table)


if __name__ == "__main__":
    main()
