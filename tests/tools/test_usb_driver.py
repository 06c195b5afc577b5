#!/usr/bin/env python3
"""The USB driver (RUVO_DEVICE_DRIVER=usb) against virtual phones reached only through
`ruvo-phone serve-usbmux`: attach and detach, trust, the device commands of ruvo-tool (values, apps,
files of the media area and of an app's container), the stand-in going away and coming back, a fake
usbmuxd answering well-framed but wrong messages, and the assistant end to end with --usb.

usage: test_usb_driver.py RUVO RUVO_TOOL RUVO_PHONE
"""

import os
import plistlib
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

import script_checks

WAIT = 30.0
check = script_checks.check
failures = script_checks.failures


def wait_for(condition, bound=WAIT):
    return script_checks.wait_for(condition, bound)


def fake_usbmuxd(path, stop):
    """A usbmuxd that answers every request well framed but wrong: a Result with a text number,
    a device list that is no list, an Attached without properties."""
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    server.listen(8)
    server.settimeout(0.2)
    replies = [{"MessageType": "Result", "Number": "zero"},
               {"MessageType": "Attached", "DeviceID": "one"},
               {"DeviceList": "none"},
               {"MessageType": "Attached", "DeviceID": 7}]
    while not stop.is_set():
        try:
            client, _ = server.accept()
        except socket.timeout:
            continue
        client.settimeout(2)
        try:
            header = client.recv(16)
            if len(header) == 16:
                length, _, _, tag = struct.unpack("<IIII", header)
                client.recv(length - 16)
                for reply in replies:
                    body = plistlib.dumps(reply)
                    client.sendall(struct.pack("<IIII", 16 + len(body), 1, 8, tag) + body)
                client.sendall(b"\x10\x00\x00\x00")  # and a message cut off midway
        except OSError:
            pass
        client.close()
    server.close()


def fake_lockdown_usbmuxd(path, stop, udid):
    """A usbmuxd that answers properly (one phone, its pair record) but whose phone's lockdown
    answers well framed and wrong: replies of the wrong type, without their keys, or cut off."""
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    server.listen(16)
    server.settimeout(0.2)
    attached = {"MessageType": "Attached", "DeviceID": 3,
                "Properties": {"DeviceID": 3, "SerialNumber": udid, "ConnectionType": "USB"}}
    lockdown_replies = [["not", "a", "dictionary"], {"Request": "QueryType"}, {"Type": 42},
                        {"Request": "StartSession", "SessionID": 7}, None]

    def serve(client):
        client.settimeout(5)
        try:
            while not stop.is_set():
                header = client.recv(16)
                if len(header) < 16:
                    return
                length, _, _, tag = struct.unpack("<IIII", header)
                request = plistlib.loads(client.recv(length - 16))
                kind = request.get("MessageType")
                if kind == "ListDevices":
                    reply = {"DeviceList": [attached]}
                elif kind == "ReadPairRecord":
                    record = plistlib.dumps({"HostID": "H", "SystemBUID": "B"})
                    reply = {"PairRecordData": record}
                elif kind == "ReadBUID":
                    reply = {"BUID": "B"}
                else:
                    reply = {"MessageType": "Result", "Number": 0}
                body = plistlib.dumps(reply)
                client.sendall(struct.pack("<IIII", 16 + len(body), 1, 8, tag) + body)
                if kind == "Listen":
                    body = plistlib.dumps(attached)
                    client.sendall(struct.pack("<IIII", 16 + len(body), 1, 8, 0) + body)
                if kind == "Connect":
                    # The lockdown stream: each request gets the next wrong reply.
                    for wrong in lockdown_replies:
                        head = client.recv(4)
                        if len(head) < 4:
                            return
                        client.recv(struct.unpack(">I", head)[0])
                        if wrong is None:
                            client.sendall(struct.pack(">I", 100) + b"<?xml")  # cut off midway
                            return
                        body = plistlib.dumps(wrong)
                        client.sendall(struct.pack(">I", len(body)) + body)
                    return
        except (OSError, ValueError, plistlib.InvalidFileException):
            pass
        finally:
            client.close()

    threads = []
    while not stop.is_set():
        try:
            client, _ = server.accept()
        except socket.timeout:
            continue
        thread = threading.Thread(target=serve, args=(client,))
        thread.start()
        threads.append(thread)
    server.close()
    for thread in threads:
        thread.join()


def main():
    ruvo, tool, phone_tool = sys.argv[1:4]
    root = tempfile.mkdtemp(prefix="ruvo-usb-test-")
    sock = os.path.join(root, "usbmuxd")
    env = dict(os.environ, RUVO_PHONE_HUB=os.path.join(root, "hub"), HOME=os.path.join(root, "home"),
               USBMUXD_SOCKET_ADDRESS="UNIX:" + sock, RUVO_DEVICE_DRIVER="usb", RUVO_NO_REPORT="1")
    env.pop("XDG_STATE_HOME", None)
    env.pop("XDG_CONFIG_HOME", None)
    os.makedirs(env["HOME"])
    processes = []

    def phone(*args):
        return subprocess.run([phone_tool, *args], env=env, capture_output=True, text=True)

    def run_tool(*args, extra=None):
        return subprocess.run([tool, *args], env=dict(env, **(extra or {})), capture_output=True, text=True,
                              timeout=120)

    def serve():
        server = subprocess.Popen([phone_tool, "serve-usbmux", sock], env=env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, text=True)
        processes.append(server)
        check(wait_for(lambda: os.path.exists(sock)), "the stand-in's socket")
        return server

    try:
        first = os.path.join(root, "first")
        second = os.path.join(root, "second")
        untrusted = os.path.join(root, "untrusted")
        phone("init", first, "--name", "First [USB] \"phone\"")
        phone("init", second, "--name", "Second")
        phone("init", untrusted, "--name", "Untrusted", "--untrusted")
        phone("plug", first)

        # The driver started before the socket exists waits for it.
        events = subprocess.Popen([tool, "device", "events", "--for", "25"], env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
        processes.append(events)
        time.sleep(1.5)
        server = serve()
        time.sleep(2)
        phone("plug", second)
        time.sleep(2)
        phone("unplug", first)
        time.sleep(2)
        # The stand-in goes away and comes back: the phone it served leaves and comes back.
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=WAIT)
        time.sleep(2.5)
        server = serve()
        out, err = events.communicate(timeout=60)
        lines = out.splitlines()
        check(events.returncode == 0, "device events: %d %r" % (events.returncode, err))
        check("0\t1\tFirst [USB] \"phone\"" in lines, "the phone plugged before the start attaches: %r" % lines)
        connected = [i for i, line in enumerate(lines) if re.match(r"^\d+\t1\t", line) and "Second" in line]
        detached = [i for i, line in enumerate(lines) if re.match(r"^\d+\t-1\t", line)]
        check(len(connected) == 2, "the second phone attaches, and again after the stand-in's return: %r" % lines)
        check(len(detached) >= 2, "unplug and the stand-in's end detach: %r" % lines)
        if len(connected) == 2 and detached:
            check(any(connected[0] < d < connected[1] for d in detached),
                  "a detach between the two attaches of the second phone: %r" % lines)

        # The device commands on the second phone, now the only one plugged.
        result = run_tool("device", "info")
        check(result.returncode == 0 and "DeviceName\tSecond\n" in result.stdout, "info: %r %r" % (result.stdout, result.stderr))
        result = run_tool("device", "apps")
        check(result.returncode == 0 and result.stdout == "com.mrz4.ringtone.pid40ch1\n", "apps: %r" % result.stdout)
        result = run_tool("device", "apps", "--system")
        check(result.returncode == 0 and "com.apple.Preferences" in result.stdout, "system apps: %r" % result.stdout)
        local = os.path.join(root, "note.txt")
        with open(local, "w") as f:
            f.write("over usbmux\n")
        check(run_tool("device", "put", local, "/note.txt").returncode == 0, "put")
        check(run_tool("device", "cat", "/note.txt").stdout == "over usbmux\n", "cat")
        check(os.path.exists(os.path.join(second, "media", "note.txt")), "the file is in the phone's media area")
        check(run_tool("device", "put", "--app", "com.mrz4.ringtone.pid40ch1", local, "/Documents/n.txt").returncode == 0,
              "put --app")
        result = run_tool("device", "ls", "--app", "com.mrz4.ringtone.pid40ch1", "/Documents")
        check("n.txt" in result.stdout.split(), "ls --app: %r" % result.stdout)

        # An untrusted phone needs trust.
        phone("unplug", second)
        phone("plug", untrusted)
        result = run_tool("device", "events", "--for", "4")
        check("0\t2\t" in result.stdout, "an untrusted phone needs trust: %r" % result.stdout)
        phone("unplug", untrusted)
        phone("plug", second)

        # The assistant end to end, with only the socket serving the phone.
        home = env["HOME"]
        assistant = subprocess.Popen([ruvo, "--headless", "--usb", "--no-report"], env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        processes.append(assistant)
        heartbeat = os.path.join(second, "containers", "com.mrz4.ringtone.pid40ch1", "Documents", "PCConnection",
                                 "Heartbeat")
        check(wait_for(lambda: os.path.exists(heartbeat)), "the heartbeat over usbmux")
        result = phone("request", second, "getring")
        check('"Command":"getring","Code":1' in result.stdout, "getring: %r" % result.stdout)
        tone = os.path.join(root, "tone.m4r")
        with open(tone, "wb") as f:
            f.write(bytes(range(256)) * 40)
        result = phone("request", second, "addring", tone, "Over USB", "3")
        check('"Command":"addring","Code":1' in result.stdout, "addring: %r" % result.stdout)
        listing = phone("ringtones", second).stdout
        check("\tOver USB\t" in listing, "the tone is in the catalogue: %r" % listing)
        assistant.send_signal(signal.SIGTERM)
        assistant.communicate(timeout=WAIT)
        check(assistant.returncode == 0, "the assistant ends with 0")
        check(run_tool("device", "info", extra={"RUVO_DEVICE_DRIVER": "virtual"}).stdout.count("DeviceName") == 1,
              "the virtual driver still sees the phone")

        # Both drivers: the phone, served by the hub and over usbmux, is one device.
        result = run_tool("device", "events", "--for", "4", extra={"RUVO_DEVICE_DRIVER": "both"})
        attaches = re.findall(r"^(\d+)\t1\t", result.stdout, re.M)
        check(attaches == ["0"], "one device through two drivers: %r" % result.stdout)

        # --usb and --virtual-phone exclude each other.
        result = subprocess.run([ruvo, "--headless", "--usb", "--virtual-phone", second], env=env, capture_output=True,
                                text=True)
        check(result.returncode == 2 and result.stderr ==
              "ruvo: --usb and --virtual-phone exclude each other (try --help)\n", "option clash: %r" % result.stderr)

        # A usbmuxd answering well framed but wrong: no phone, and the driver keeps running.
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=WAIT)
        stop = threading.Event()
        fake = threading.Thread(target=fake_usbmuxd, args=(sock, stop))
        fake.start()
        try:
            result = run_tool("device", "events", "--for", "4")
            check(result.returncode == 0 and not re.search(r"^0\t1\t", result.stdout, re.M),
                  "a wrong usbmuxd attaches nothing: %d %r %r" % (result.returncode, result.stdout, result.stderr))
        finally:
            stop.set()
            fake.join()
        os.unlink(sock)

        # A usbmuxd whose phone's lockdown answers wrongly: the phone needs trust, nothing ends.
        stop = threading.Event()
        fake = threading.Thread(target=fake_lockdown_usbmuxd, args=(sock, stop, "0123456789abcdef0123456789abcdef01234567"))
        fake.start()
        try:
            result = run_tool("device", "events", "--for", "5")
            check(result.returncode == 0 and re.search(r"^0\t2\t", result.stdout, re.M) and
                  not re.search(r"^0\t1\t", result.stdout, re.M),
                  "a phone whose lockdown answers wrongly needs trust: %d %r %r" %
                  (result.returncode, result.stdout, result.stderr))
        finally:
            stop.set()
            fake.join()
    finally:
        for process in processes:
            if process.poll() is None:
                process.kill()
                process.wait()
        shutil.rmtree(root, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
