#!/usr/bin/env python3
"""The assistant's window as a user meets it: real windows on an X server (run under xvfb-run and
dbus-run-session), driven with xdotool and seen by comparing regions of screenshots (ImageMagick's
import) with the program's own pictures; the state comes from the timed lines on standard error.

usage: window_test.py SCENARIO --ruvo PATH --phone-tool PATH --pictures DIR

Every wait is for a condition, with a generous bound; nothing measures time.
"""

import argparse
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

WAIT = 30.0  # seconds a condition may take before the scenario fails
WIDTH, HEIGHT = 680, 527
# Regions of the window (x, y, w, h) and the pictures that can be drawn there.
PANEL = (1, 77, 678, 417)
CLOSE = (639, 0, 26, 30)
MINIMISE = (602, 0, 26, 30)
DOWNLOAD = (63, 220, 132, 182)
BLINK = (280, 277, 125, 28)
# Mean absolute difference per channel (of 255) below which a region shows a picture; the
# pictures of one place differ from each other by at least 20.
SAME = 10.0


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(condition, what, bound=WAIT):
    end = time.monotonic() + bound
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            raise Failure("timed out waiting for " + what)
        time.sleep(0.1)


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, **kwargs)


class World:
    """A private folder with a hub, a home and a virtual phone, and the assistants started in it."""

    def __init__(self, options):
        self.options = options
        self.root = tempfile.mkdtemp(prefix="ruvo-window-test-")
        self.hub = os.path.join(self.root, "hub")
        self.home = os.path.join(self.root, "home")
        self.phone = os.path.join(self.root, "phone")
        self.shots = os.path.join(self.root, "shots")
        os.makedirs(self.home)
        os.makedirs(self.shots)
        self.env = dict(os.environ)
        self.env.update({"RUVO_PHONE_HUB": self.hub, "HOME": self.home, "XDG_CONFIG_HOME": "",
                         "XDG_STATE_HOME": "", "GSK_RENDERER": "cairo", "GTK_A11Y": "none"})
        self.env.pop("RUVO_REPORT_URL", None)
        self.processes = []
        self.shot_count = 0

    def close(self):
        for process, _, _ in self.processes:
            if process.poll() is None:
                process.kill()
                process.wait()
        if os.environ.get("RUVO_KEEP_WINDOW_TEST") != "1":
            shutil.rmtree(self.root, ignore_errors=True)

    def phone_tool(self, *args):
        result = run([self.options.phone_tool, *args], env=self.env)
        check(result.returncode == 0, "ruvo-phone %s: %s%s" % (" ".join(args), result.stdout, result.stderr))
        return result.stdout

    def start(self, *args, env=None, program=None):
        index = len(self.processes)
        out = open(os.path.join(self.root, "stdout%d" % index), "w")
        err_path = os.path.join(self.root, "stderr%d" % index)
        err = open(err_path, "w")
        command = [program, *args] if program else [self.options.ruvo, "--no-report", *args]
        process = subprocess.Popen(command, stdout=out, stderr=err, env=env or self.env)
        self.processes.append((process, os.path.join(self.root, "stdout%d" % index), err_path))
        return index

    def stderr(self, index=0):
        with open(self.processes[index][2], encoding="utf-8", errors="replace") as f:
            return f.read()

    def stdout(self, index=0):
        with open(self.processes[index][1], encoding="utf-8", errors="replace") as f:
            return f.read()

    def lines(self, index=0):
        """The timed lines without their times."""
        timed = re.compile(r"^\d\d:\d\d:\d\d\.\d\d\d (.*)$")
        return [m.group(1) for m in map(timed.match, self.stderr(index).splitlines()) if m]

    def last_line(self, prefix, index=0):
        found = [line for line in self.lines(index) if line.startswith(prefix)]
        return found[-1] if found else None

    def wait_line(self, line, index=0):
        wait_for(lambda: line in self.lines(index), repr(line) + " in:\n" + self.stderr(index))

    def process(self, index=0):
        return self.processes[index][0]


def xdotool(*args):
    result = run(["xdotool", *args])
    return result.stdout.strip(), result.returncode


def find_windows(name):
    out, code = xdotool("search", "--onlyvisible", "--name", "^%s$" % re.escape(name))
    return out.split() if code == 0 and out else []


def geometry(window):
    out, _ = xdotool("getwindowgeometry", "--shell", window)
    values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])


def main_window():
    windows = wait_for(lambda: find_windows("zive"), "the window titled zive")
    check(len(windows) == 1, "one window titled zive, found %d" % len(windows))
    return windows[0]


def shot(world, window):
    world.shot_count += 1
    path = os.path.join(world.shots, "shot%d.png" % world.shot_count)
    result = run(["import", "-window", "root", path])
    check(result.returncode == 0, "import: " + result.stderr)
    x, y, _, _ = geometry(window)
    return path, x, y


def difference(world, screenshot, origin, region, picture, part=None):
    """Mean absolute difference per channel (of 255, the largest of R, G, B) between the region of
    the window on the screenshot and the program's picture stretched to the region (or, with part,
    the part (x, y, w, h) of the picture drawn at the region's size)."""
    path, x, y = screenshot
    rx, ry, rw, rh = region
    expected = os.path.join(world.options.pictures, "%d.png" % picture)
    source = ["-resize", "%dx%d!" % (rw, rh)] if part is None else \
        ["-crop", "%dx%d+%d+%d" % (part[2], part[3], part[0], part[1]), "+repage"]
    args = ["convert", "(", path, "-crop", "%dx%d+%d+%d" % (rw, rh, x + rx, y + ry), "+repage", "-alpha", "off",
            ")", "(", expected, *source, "-alpha", "off", ")",
            "-compose", "difference", "-composite", "-separate", "-format", "%[fx:mean*255]\n", "info:"]
    result = run(args)
    check(result.returncode == 0, "convert: " + result.stderr)
    values = [float(v) for v in result.stdout.split()]
    check(len(values) >= 3, "convert gave " + result.stdout)
    return max(values[:3])


def shows(world, window, region, picture, others=(), part=None):
    """Whether the region shows the picture (and none of the others)."""
    screenshot = shot(world, window)
    mine = difference(world, screenshot, None, region, picture, part)
    return mine < SAME and all(difference(world, screenshot, None, region, o, part) >= SAME for o in others)


def wait_shows(world, window, region, picture, others=(), what="", part=None):
    wait_for(lambda: shows(world, window, region, picture, others, part),
             "%s to show picture %d" % (what or str(region), picture))


def click(window, x, y, button=1):
    xdotool("mousemove", "--window", window, str(x), str(y))
    time.sleep(0.2)
    xdotool("click", str(button))


def click_until(window, x, y, done, what):
    """Clicks at (x, y) until done() holds. Under Xvfb a window that has just appeared can miss a
    press: the process then sits idle in its main loop, as if nothing had been clicked. So the
    pointer leaves and comes back and the click is sent again after every few seconds without
    the effect."""
    def clicked():
        xdotool("mousemove", "--window", window, "300", "300")
        time.sleep(0.1)
        xdotool("mousemove", "--window", window, str(x), str(y))
        time.sleep(0.2)
        xdotool("click", "1")
        end = time.monotonic() + 3
        while time.monotonic() < end:
            if done():
                return True
            time.sleep(0.1)
        return False
    wait_for(clicked, what)


def expect_exit(world, index, status):
    process = world.process(index)
    wait_for(lambda: process.poll() is not None, "the process %d to end" % index)
    check(process.returncode == status, "exit status %s, wanted %s; stderr:\n%s" %
          (process.returncode, status, world.stderr(index)))


# --- Scenarios ----------------------------------------------------------------------------------

def scenario_size_and_states(world):
    """Size and title; waiting, connected and waiting again as a hub phone is plugged and unplugged;
    standard output stays empty and the timed lines come as with --headless."""
    world.phone_tool("init", world.phone)
    world.start()
    window = main_window()
    _, _, width, height = geometry(window)
    check((width, height) == (WIDTH, HEIGHT), "size %dx%d" % (width, height))
    world.wait_line("status: 连接状态：等待设备接入")
    wait_shows(world, window, PANEL, 134, (131, 144), "the waiting panel")
    check(not shows(world, window, DOWNLOAD, 149), "the download button shows while waiting")
    world.phone_tool("plug", world.phone)
    world.wait_line("panel: connected")
    wait_shows(world, window, PANEL, 131, (134, 144), "the connected panel")
    world.phone_tool("unplug", world.phone)
    wait_for(lambda: world.last_line("panel:") == "panel: waiting", "panel: waiting after the unplug")
    wait_shows(world, window, PANEL, 134, (131, 144), "the waiting panel after the unplug")
    check(world.stdout() == "", "standard output: " + world.stdout())


def scenario_support_missing(world):
    """Without the support libraries: the missing-support panel and the download button."""
    empty = os.path.join(world.root, "no-support")
    os.makedirs(empty)
    env = dict(world.env, RUVO_SUPPORT_DIR=empty)
    world.start(env=env)
    window = main_window()
    world.wait_line("panel: support missing")
    # The panel beside the download button, which covers part of it.
    beside = (200, 0, 478, 417)
    wait_shows(world, window, (PANEL[0] + beside[0], PANEL[1], beside[2], beside[3]), 144, (134, 131),
               "the missing-support panel", part=beside)
    wait_shows(world, window, DOWNLOAD, 149, (146,), "the download button")


def scenario_close_hover(world):
    """The close button's hover picture while the pointer rests on it, the normal one after."""
    world.start()
    window = main_window()
    wait_shows(world, window, CLOSE, 129, (130,), "the close button")
    xdotool("mousemove", "--window", window, "652", "15")
    wait_shows(world, window, CLOSE, 130, (129,), "the hovered close button")
    xdotool("mousemove", "--window", window, "300", "300")
    wait_shows(world, window, CLOSE, 129, (130,), "the close button after the pointer left")
    check(world.process().poll() is None, "hovering ended the process")


def scenario_blink(world):
    """The busy blink alternates while a command is held by the phone, and is gone after it."""
    world.phone_tool("init", world.phone)
    world.phone_tool("fault", world.phone, "ready", "silent")
    env = dict(world.env, RUVO_SYNC_TIMEOUT_MS="12000")
    world.start("--virtual-phone", world.phone, env=env)
    window = main_window()
    world.wait_line("panel: connected")
    tone = os.path.join(world.root, "tone.m4r")
    with open(tone, "wb") as f:
        f.write(b"\0" * 5000)
    # The request waits for its answer: it runs beside the scenario.
    request = subprocess.Popen([world.options.phone_tool, "request", world.phone, "addring", tone, "Held", "3"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=world.env)
    world.processes.append((request, os.devnull, os.devnull))
    world.wait_line("busy: on")
    seen = set()

    def both_phases():
        if "busy: off" in world.lines():
            raise Failure("the command ended before both blink pictures were seen: %s" % seen)
        # A random pause between looks, so that the looks do not keep step with the blink's
        # 200 ms phases and see the same one every time.
        time.sleep(random.uniform(0, 0.25))
        screenshot = shot(world, window)
        for picture in (147, 148):
            if difference(world, screenshot, None, BLINK, picture) < SAME:
                seen.add(picture)
        return seen == {147, 148}

    wait_for(both_phases, "both blink pictures")
    world.wait_line("busy: off")
    # The panel as before: the blink region shows the connected panel beneath it.
    panel_under_blink = (BLINK[0] - PANEL[0], BLINK[1] - PANEL[1], BLINK[2], BLINK[3])
    crop = os.path.join(world.root, "under-blink.png")
    full = os.path.join(world.options.pictures, "131.png")
    run(["convert", full, "-crop", "%dx%d+%d+%d" % (BLINK[2], BLINK[3], panel_under_blink[0], panel_under_blink[1]),
         "+repage", crop])

    def panel_again():
        screenshot = shot(world, window)
        path, x, y = screenshot
        result = run(["convert", "(", path, "-crop", "%dx%d+%d+%d" % (BLINK[2], BLINK[3], x + BLINK[0], y + BLINK[1]),
                      "+repage", "-alpha", "off", ")", "(", crop, "-alpha", "off", ")", "-compose", "difference",
                      "-composite", "-separate", "-format", "%[fx:mean*255]\n", "info:"])
        return max(float(v) for v in result.stdout.split()[:3]) < SAME

    wait_for(panel_again, "the connected panel where the blink was")


def scenario_escape_and_about(world):
    """Escape closes neither the window nor the About box; a right press on the title strip opens
    the menu, its item the About box, and "确定" closes it."""
    world.start()
    window = main_window()
    xdotool("windowactivate", "--sync", window)
    xdotool("windowfocus", "--sync", window)
    xdotool("key", "--window", window, "Escape")
    time.sleep(1)
    check(world.process().poll() is None and find_windows("zive"), "Escape closed the window")
    click(window, 300, 40, button=3)
    time.sleep(1)
    # The menu opens with its one item selected.
    xdotool("key", "Return")
    about = wait_for(lambda: find_windows("关于 Ruvo"), "the About box")
    check(len(about) == 1, "one About box")
    xdotool("key", "--window", about[0], "Escape")
    time.sleep(1)
    check(find_windows("关于 Ruvo"), "Escape closed the About box")
    # Return presses its default button, 确定.
    xdotool("key", "--window", about[0], "Return")
    wait_for(lambda: not find_windows("关于 Ruvo"), "the About box to close with 确定")
    check(world.process().poll() is None, "the About box ended the process")


def scenario_drag(world):
    """A press on the title strip moves the window by the pointer's travel; one below it or on a
    button does not."""
    world.start()
    window = main_window()
    wait_shows(world, window, CLOSE, 129, (130,), "the close button")

    def drag(x, y, dx, dy):
        before = geometry(window)[:2]
        xdotool("mousemove", "--window", window, str(x), str(y))
        time.sleep(0.3)
        xdotool("mousedown", "1")
        time.sleep(0.3)
        for step in range(1, 6):
            xdotool("mousemove_relative", "--", str(dx // 5), str(dy // 5))
            time.sleep(0.1)
        time.sleep(0.3)
        xdotool("mouseup", "1")
        time.sleep(0.5)
        return before

    before = drag(300, 40, 100, 50)
    wait_for(lambda: geometry(window)[:2] == (before[0] + 100, before[1] + 50),
             "the window to move by (100, 50) from %s, it is at %s" % (before, geometry(window)[:2]))
    before = drag(300, 200, 60, 30)
    check(geometry(window)[:2] == before, "a drag below the title strip moved the window")
    before = drag(615, 15, 60, 30)
    check(geometry(window)[:2] == before, "a drag from the minimise button moved the window")
    check(world.process().poll() is None, "dragging ended the process")


def scenario_close_button(world):
    """The close button ends the process with status 0 and the exit event in the record file."""
    world.start()
    window = main_window()
    world.wait_line("status: 连接状态：等待设备接入")
    # The start event is in the record once start-up has run.
    record = os.path.join(world.home, "Documents", "recode.cx")
    wait_for(lambda: os.path.exists(record), "the record file")
    process = world.process(0)
    click_until(window, 652, 15, lambda: process.poll() is not None, "the process to end after a click on close")
    expect_exit(world, 0, 0)
    with open(record, encoding="utf-8") as f:
        text = f.read()
    check('"ActName":"退出"' in text, "no exit event in " + text)


def scenario_second_start(world):
    """A second start forwards its arguments, prints nothing, prepares nothing and exits 0; one
    window stays."""
    world.start()
    main_window()
    other = os.path.join(world.root, "other-phone")
    second = world.start("--virtual-phone", other)
    expect_exit(world, second, 0)
    check(world.stderr(second) == "" and world.stdout(second) == "",
          "the second start printed: %r %r" % (world.stdout(second), world.stderr(second)))
    check(not os.path.exists(other), "the second start prepared a phone")
    time.sleep(1)
    check(len(find_windows("zive")) == 1, "windows: %s" % find_windows("zive"))
    check(world.process().poll() is None, "the first instance ended")


def scenario_command_line(world):
    """--help and a bad option are answered by the starting process, also with a window running."""
    world.start()
    main_window()
    result = run([world.options.ruvo, "--help"], env=world.env)
    check(result.returncode == 0 and result.stdout.startswith("usage: ruvo") and result.stderr == "",
          "--help: %s %r %r" % (result.returncode, result.stdout, result.stderr))
    result = run([world.options.ruvo, "--bogus"], env=world.env)
    check(result.returncode == 2 and result.stdout == "" and
          result.stderr == "ruvo: unknown option '--bogus' (try --help)\n",
          "--bogus: %s %r %r" % (result.returncode, result.stdout, result.stderr))


def scenario_no_display(world):
    """No display: one line, then the headless run."""
    env = dict(world.env)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    world.start(env=env)
    world.wait_line("status: 连接状态：等待设备接入")
    lines = world.stderr().splitlines()
    check(lines[0] == "ruvo: no display: running headless", "first line: %r" % lines[0])
    check(world.stderr().count("no display") == 1, world.stderr())
    world.process().send_signal(signal.SIGTERM)
    expect_exit(world, 0, 0)


def scenario_download(world):
    """The download button opens RUVO_DOWNLOAD_URL with the desktop's handler for it."""
    empty = os.path.join(world.root, "no-support")
    os.makedirs(empty)
    data = os.path.join(world.root, "data")
    applications = os.path.join(data, "applications")
    os.makedirs(applications)
    recorded = os.path.join(world.root, "opened.txt")
    handler = os.path.join(world.root, "record-url.sh")
    with open(handler, "w") as f:
        f.write("#!/bin/sh\nprintf '%%s\\n' \"$1\" >> '%s'\n" % recorded)
    os.chmod(handler, 0o755)
    with open(os.path.join(applications, "ruvo-test-recorder.desktop"), "w") as f:
        f.write("[Desktop Entry]\nType=Application\nName=Recorder\nExec=%s %%u\n"
                "MimeType=x-scheme-handler/https;\nNoDisplay=true\n" % handler)
    with open(os.path.join(applications, "mimeapps.list"), "w") as f:
        f.write("[Default Applications]\nx-scheme-handler/https=ruvo-test-recorder.desktop\n")
    url = "https://downloads.example.com/support?for=ruvo"
    env = dict(world.env, RUVO_SUPPORT_DIR=empty, RUVO_DOWNLOAD_URL=url, XDG_DATA_HOME=data,
               XDG_DATA_DIRS="/usr/share", XDG_CONFIG_HOME=os.path.join(world.root, "config"))
    world.start(env=env)
    window = main_window()
    wait_shows(world, window, DOWNLOAD, 149, (146,), "the download button")
    click_until(window, 63 + 66, 220 + 91, lambda: os.path.exists(recorded),
                "the handler to record %s" % url)
    # A click sent again after a missed one may open the address twice, never anything else.
    time.sleep(0.5)
    lines = open(recorded).read().splitlines()
    check(lines and all(line == url for line in lines), "the handler recorded %r" % lines)


def make_sine(path, seconds, encoder, title=None):
    """A 440 Hz sine of whole seconds, made by gst-launch-1.0 with the encoder (and a title tag)."""
    tag = ["taginject", 'tags="title=\\"%s\\""' % title, "!"] if title else []
    result = run(["gst-launch-1.0", "-q", "audiotestsrc", "num-buffers=%d" % (seconds * 441 // 10),
                  "samplesperbuffer=1000", "volume=0.5", "!", "audio/x-raw,rate=44100,channels=2", "!",
                  "audioconvert", "!", *tag, *encoder.split(), "!", "filesink", "location=" + path])
    check(result.returncode == 0, "gst-launch-1.0: " + result.stderr)


def statuses(world):
    return [line for line in world.lines() if line.startswith("status: ")]


def scenario_drop(world):
    """Three files dropped on the window of a connected phone: a FLAC with a title tag and an MP3
    become ringtones in turn (the tag or the name titles them), a text file is no audio; the status
    line follows each file and gives the connection back 5 s after the last."""
    check(world.options.drop_driver, "--drop-driver is needed")
    world.phone_tool("init", world.phone)
    flac = os.path.join(world.root, "bells.flac")
    mp3 = os.path.join(world.root, "[my] \"song\".mp3")
    text = os.path.join(world.root, "notes.txt")
    make_sine(flac, 10, "flacenc", title="Evening Bells")
    make_sine(mp3, 60, "lamemp3enc")
    with open(text, "w") as f:
        f.write("no audio here\n")
    world.start("--virtual-phone", world.phone, flac, text, mp3, program=world.options.drop_driver)
    wait_for(lambda: "drop: " in world.stdout(), "the drop")
    check(world.stdout() == "enter: copy\ndrop: accepted\n", "stdout: " + world.stdout())
    connected = "status: 连接状态：Ruvo Virtual iPhone"
    world.wait_line("status: 铃声已添加：[my] \"song\"")
    wait_for(lambda: statuses(world)[-1] == connected, "the connection text after the notices")
    seen = statuses(world)
    first = seen.index(connected)
    expected = ["status: 正在制作铃声：bells.flac 0%", "status: 正在添加铃声：bells.flac", "status: 铃声已添加：Evening Bells",
                "status: 不是音频文件：notes.txt", "status: 正在制作铃声：[my] \"song\".mp3 0%",
                "status: 正在添加铃声：[my] \"song\".mp3", "status: 铃声已添加：[my] \"song\"", connected]
    # The progress lines between 0% and the add may be any; the order of the rest is fixed.
    steps = [line for line in seen[first + 1:] if not re.search(r" [1-9]\d*%$", line)]
    check(steps == expected, "status lines:\n" + "\n".join(seen))
    busy = [line for line in world.lines() if line.startswith("busy: ")]
    check(busy == ["busy: on", "busy: off"], "busy lines: %s" % busy)
    tones = sorted(tuple(line.split("\t")[1::2]) for line in world.phone_tool("ringtones", world.phone).splitlines())
    check(tones == [("Evening Bells", "10000"), ("[my] \"song\"", "40000")], "catalogue: %s" % tones)


def scenario_drop_refused(world):
    """Without a phone the drop is refused (the pointer shows it), the status line asks for a phone
    for 5 s and then shows the waiting text again."""
    check(world.options.drop_driver, "--drop-driver is needed")
    flac = os.path.join(world.root, "bells.flac")
    make_sine(flac, 10, "flacenc")
    world.start(flac, program=world.options.drop_driver)
    wait_for(lambda: "drop: " in world.stdout(), "the drop")
    check(world.stdout() == "enter: none\ndrop: refused\n", "stdout: " + world.stdout())
    world.wait_line("status: 请先连接设备")
    waiting = "status: 连接状态：等待设备接入"
    wait_for(lambda: statuses(world)[-1] == waiting, "the waiting text after the notice")
    check(not any(line.startswith("busy: ") for line in world.lines()), "a refused drop showed busy")


def make_rate1(path, samples, encoder):
    """A stream that declares a sample rate of 1 Hz (a resampler asked for 44.1 kHz of it wants
    gigabytes)."""
    result = run(["gst-launch-1.0", "-q", "audiotestsrc", "num-buffers=4", "samplesperbuffer=%d" % samples, "!",
                  "audio/x-raw,rate=1,channels=2,format=S16LE", "!", *encoder.split(), "!", "filesink",
                  "location=" + path])
    check(result.returncode == 0, "gst-launch-1.0: " + result.stderr)


def helpers_of(world):
    """The conversion helpers started in this world that still run (found by the world's mark)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/comm" % pid) as f:
                if f.read().strip() != "ruvo-convert":
                    continue
            with open("/proc/%s/environ" % pid, "rb") as f:
                if ("RUVO_TEST_MARK=" + world.root).encode() in f.read().split(b"\0"):
                    found.append(int(pid))
        except OSError:
            pass
    return found


def private_tmp(world, **extra):
    """The world's environment with a $TMPDIR of its own (whatever is left in it is a leak) and
    the mark that finds its helpers."""
    tmp = os.path.join(world.root, "tmp")
    os.makedirs(tmp, exist_ok=True)
    env = dict(world.env, TMPDIR=tmp, RUVO_TEST_MARK=world.root, **extra)
    return env, tmp


def scenario_drop_hostile(world):
    """What a hostile or unlucky user drops: what is no regular file (a FIFO, a folder, a link to
    /dev/zero), sources at 1 Hz, an empty and a truncated file, then a real MP3. Each is refused or
    fails with its notice without holding the queue, the MP3 after them is added, and nothing is
    left behind."""
    check(world.options.drop_driver, "--drop-driver is needed")
    world.phone_tool("init", world.phone)
    names = ["fifo.mp3", "folder.mp3", "zero.mp3", "rate1.flac", "rate1.wav", "empty.flac", "cut.mp3", "song.mp3"]
    paths = [os.path.join(world.root, name) for name in names]
    os.mkfifo(paths[0])
    os.mkdir(paths[1])
    os.symlink("/dev/zero", paths[2])
    make_rate1(paths[3], 65535, "flacenc blocksize=65535 streamable-subset=false")
    make_rate1(paths[4], 4608, "wavenc")
    open(paths[5], "w").close()
    make_sine(paths[7], 10, "lamemp3enc")
    with open(paths[7], "rb") as whole, open(paths[6], "wb") as cut:
        data = whole.read()
        cut.write(data[:len(data) // 3])
    env, tmp = private_tmp(world)
    started = time.monotonic()
    world.start("--virtual-phone", world.phone, *paths, program=world.options.drop_driver, env=env)
    world.wait_line("status: 铃声已添加：song")
    check(time.monotonic() - started < 60, "the drops took %.0f s" % (time.monotonic() - started))
    check(world.process().poll() is None, "the window ended")
    notices = [line for line in statuses(world) if re.match(r"status: (铃声添加失败|不是音频文件|铃声已添加)：", line)]
    expected = ["status: 铃声添加失败：fifo.mp3", "status: 铃声添加失败：folder.mp3", "status: 铃声添加失败：zero.mp3",
                "status: 铃声添加失败：rate1.flac", "status: 铃声添加失败：rate1.wav", "status: 不是音频文件：empty.flac"]
    check(notices[:6] == expected, "notices: %s" % notices)
    check(notices[6] in ("status: 铃声添加失败：cut.mp3", "status: 铃声已添加：cut"), "the truncated MP3: %s" % notices)
    check(notices[7:] == ["status: 铃声已添加：song"], "notices: %s" % notices)
    titles = sorted(line.split("\t")[1] for line in world.phone_tool("ringtones", world.phone).splitlines())
    check(titles in (["song"], ["cut", "song"]), "catalogue: %s" % titles)
    wait_for(lambda: world.last_line("busy: ") == "busy: off", "the busy display to end")
    check(os.listdir(tmp) == [], "left in $TMPDIR: %s" % os.listdir(tmp))
    check(helpers_of(world) == [], "helpers left running")


def scenario_drop_helper_killed(world):
    """A helper killed in the middle of a conversion: its file fails with its notice and the queue
    goes on with the next one."""
    check(world.options.drop_driver, "--drop-driver is needed")
    world.phone_tool("init", world.phone)
    first, second = os.path.join(world.root, "a.mp3"), os.path.join(world.root, "b.mp3")
    make_sine(first, 10, "lamemp3enc")
    shutil.copy(first, second)
    env, tmp = private_tmp(world, RUVO_CONVERT_TEST_STALL="1")
    world.start("--virtual-phone", world.phone, first, second, program=world.options.drop_driver, env=env)
    for name in ("a.mp3", "b.mp3"):
        world.wait_line("status: 正在制作铃声：%s 0%%" % name)
        helpers = wait_for(lambda: helpers_of(world), "the helper of " + name)
        os.kill(helpers[0], signal.SIGKILL)
        world.wait_line("status: 铃声添加失败：%s" % name)
    wait_for(lambda: world.last_line("busy: ") == "busy: off", "the busy display to end")
    check(world.process().poll() is None, "the window ended")
    check(world.phone_tool("ringtones", world.phone) == "", "something was added")
    check(os.listdir(tmp) == [], "left in $TMPDIR: %s" % os.listdir(tmp))


def scenario_drop_sigterm(world):
    """The program ended by SIGTERM while a dropped file is converted: no helper outlives it and
    nothing is left in $TMPDIR."""
    check(world.options.drop_driver, "--drop-driver is needed")
    world.phone_tool("init", world.phone)
    mp3 = os.path.join(world.root, "long.mp3")
    make_sine(mp3, 60, "lamemp3enc")
    for stall in ("1", None):
        extra = {"RUVO_CONVERT_TEST_STALL": stall} if stall else {}
        env, tmp = private_tmp(world, **extra)
        index = world.start("--virtual-phone", world.phone, mp3, program=world.options.drop_driver, env=env)
        world.wait_line("status: 正在制作铃声：long.mp3 0%", index)
        world.process(index).send_signal(signal.SIGTERM)
        world.process(index).wait(timeout=WAIT)
        wait_for(lambda: helpers_of(world) == [], "the helper to end with the program")
        check(os.listdir(tmp) == [], "left in $TMPDIR: %s" % os.listdir(tmp))


SCENARIOS = {name[len("scenario_"):]: f for name, f in globals().items() if name.startswith("scenario_")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    parser.add_argument("--ruvo", required=True)
    parser.add_argument("--phone-tool", required=True)
    parser.add_argument("--pictures", required=True)
    parser.add_argument("--drop-driver")
    options = parser.parse_args()
    world = World(options)
    try:
        SCENARIOS[options.scenario](world)
    except Failure as failure:
        print("FAILED: %s" % failure, file=sys.stderr)
        for index in range(len(world.processes)):
            print("--- stderr of start %d:\n%s" % (index, world.stderr(index)), file=sys.stderr)
        return 1
    finally:
        world.close()
    print("passed: " + options.scenario)
    return 0


if __name__ == "__main__":
    sys.exit(main())
