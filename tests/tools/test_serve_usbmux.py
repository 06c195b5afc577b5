#!/usr/bin/env python3
"""ruvo-phone serve-usbmux as libimobiledevice's tools and a raw client meet it: Debian's idevice_id and
ideviceinfo on a temporary socket, the usbmux and lockdown protocols by hand (through to
installation_proxy), garbage that ends only its own connection, unplug, trust, and the command line.

usage: test_serve_usbmux.py RUVO_PHONE
"""

import os
import plistlib
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

import script_checks

WAIT = 20.0
check = script_checks.check
failures = script_checks.failures


def wait_for(condition, bound=WAIT):
    return script_checks.wait_for(condition, bound)


class Usbmux:
    """A raw usbmux client."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(WAIT)
        self.sock.connect(path)
        self.tag = 0

    def send(self, message):
        self.tag += 1
        body = plistlib.dumps(message)
        self.sock.sendall(struct.pack("<IIII", 16 + len(body), 1, 8, self.tag) + body)
        return self.tag

    def receive(self):
        header = self.read(16)
        length, version, kind, tag = struct.unpack("<IIII", header)
        return tag, plistlib.loads(self.read(length - 16))

    def read(self, n):
        return read_exact(self.sock, n)

    def request(self, message):
        tag = self.send(message)
        got_tag, reply = self.receive()
        check(got_tag == tag, "the reply repeats the tag %d (got %d)" % (tag, got_tag))
        return reply


def read_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise EOFError("closed")
        data += chunk
    return data


def framed_send(sock, message):
    body = plistlib.dumps(message)
    sock.sendall(struct.pack(">I", len(body)) + body)


def framed_receive(sock):
    length = struct.unpack(">I", read_exact(sock, 4))[0]
    return plistlib.loads(read_exact(sock, length))


def connect(path, device_id, port):
    """A usbmux connection turned into a raw stream to the device port; None when refused."""
    client = Usbmux(path)
    reply = client.request({"MessageType": "Connect", "DeviceID": device_id,
                            "PortNumber": socket.htons(port), "ProgName": "test"})
    if reply.get("Number") != 0:
        return None, reply.get("Number")
    return client.sock, 0


def main():
    phone_tool = sys.argv[1]
    root = tempfile.mkdtemp(prefix="ruvo-usbmux-test-")
    env = dict(os.environ, RUVO_PHONE_HUB=os.path.join(root, "hub"))
    env.pop("XDG_STATE_HOME", None)
    sock_path = os.path.join(root, "usbmuxd")
    env["USBMUXD_SOCKET_ADDRESS"] = "UNIX:" + sock_path
    phone = os.path.join(root, "phone")
    server = None

    def tool(*args):
        return subprocess.run([phone_tool, *args], env=env, capture_output=True, text=True)

    def idevice(*args):
        return subprocess.run(list(args), env=env, capture_output=True, text=True, timeout=30)

    try:
        tool("init", phone, "--name", "Usbmux \"Phone\" [1]")
        tool("plug", phone)
        udid = tool("status", phone).stdout.split("udid: ")[1].split()[0]
        server = subprocess.Popen([phone_tool, "serve-usbmux", sock_path], env=env,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        check(wait_for(lambda: os.path.exists(sock_path)), "the socket appears")

        # Debian's tools.
        result = idevice("idevice_id", "-l")
        check(result.returncode == 0 and result.stdout.split() == [udid], "idevice_id -l: %r" % result.stdout)
        result = idevice("ideviceinfo", "-u", udid, "-k", "DeviceName")
        check(result.returncode == 0 and result.stdout == "Usbmux \"Phone\" [1]\n", "DeviceName: %r" % result.stdout)
        result = idevice("ideviceinfo", "-u", udid, "-k", "ProductVersion")
        check(result.returncode == 0 and result.stdout == "16.7.2\n", "ProductVersion: %r" % result.stdout)
        result = idevice("ideviceinfo", "-u", udid)
        check(result.returncode == 0 and ("UniqueDeviceID: %s\n" % udid) in result.stdout, "dump: %r" % result.stdout)

        # A listener, kept open through everything below.
        listener = Usbmux(sock_path)
        check(listener.request({"MessageType": "Listen"}).get("Number") == 0, "Listen answers 0")
        _, attached = listener.receive()
        check(attached.get("MessageType") == "Attached" and attached["Properties"]["SerialNumber"] == udid,
              "Listen reports the plugged phone: %r" % attached)
        device_id = attached["DeviceID"]

        # Garbage ends only its own connection.
        for junk in (struct.pack("<IIII", 0xFFFFFFFF, 1, 8, 1), struct.pack("<IIII", 40, 1, 8, 1) + b"x" * 24,
                     struct.pack("<IIII", 16, 1, 8, 1), b"\x00" * 3, struct.pack("<IIII", 32, 7, 8, 1) + b"y" * 16):
            raw = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            raw.settimeout(WAIT)
            raw.connect(sock_path)
            raw.sendall(junk)
            if len(junk) >= 16:
                check(raw.recv(1) == b"", "garbage %r closes its connection" % junk[:16])
            raw.close()
        check(idevice("idevice_id", "-l").stdout.split() == [udid], "the stand-in serves on after garbage")
        client = Usbmux(sock_path)
        check(client.request({"MessageType": "Unheard"}).get("Number") == 1, "an unknown MessageType answers 1")
        check(client.request({"MessageType": "ReadPairRecord", "PairRecordID": "nobody"}).get("Number") == 2,
              "no pair record for an unknown phone")
        buid = client.request({"MessageType": "ReadBUID"}).get("BUID")
        record = plistlib.loads(client.request({"MessageType": "ReadPairRecord", "PairRecordID": udid})["PairRecordData"])
        check(record.get("SystemBUID") == buid and record.get("HostID"), "the pair record: %r" % record)
        _, number = connect(sock_path, device_id + 1000, 62078)
        check(number == 2, "Connect to an unknown device answers 2")
        _, number = connect(sock_path, device_id, 1234)
        check(number == 3, "Connect to a port nobody serves answers 3")

        # Lockdown by hand, through to installation_proxy.
        lockdown, _ = connect(sock_path, device_id, 62078)
        framed_send(lockdown, {"Request": "StartService", "Service": "com.apple.afc"})
        check(framed_receive(lockdown).get("Error") == "SessionInactive", "StartService needs a session")
        framed_send(lockdown, {"Request": "StartSession", "HostID": "WRONG", "SystemBUID": buid})
        check(framed_receive(lockdown).get("Error") == "InvalidHostID", "a wrong HostID starts no session")
        framed_send(lockdown, {"Request": "Nonsense"})
        reply = framed_receive(lockdown)
        check(reply.get("Error") == "InvalidRequest" and reply.get("Request") == "Nonsense", "unknown: %r" % reply)
        framed_send(lockdown, {"Request": "GetValue", "Key": "NoSuchKey"})
        check(framed_receive(lockdown).get("Error") == "MissingValue", "an unknown key is MissingValue")
        framed_send(lockdown, {"Request": "StartSession", "HostID": record["HostID"], "SystemBUID": buid})
        reply = framed_receive(lockdown)
        check(reply.get("EnableSessionSSL") is False and reply.get("SessionID"), "session: %r" % reply)
        framed_send(lockdown, {"Request": "StartService", "Service": "com.apple.nothing"})
        check(framed_receive(lockdown).get("Error") == "InvalidService", "an unknown service is InvalidService")
        framed_send(lockdown, {"Request": "StartService", "Service": "com.apple.mobile.installation_proxy"})
        reply = framed_receive(lockdown)
        port = reply.get("Port")
        check(port and reply.get("EnableServiceSSL") is False, "installation_proxy: %r" % reply)
        proxy, _ = connect(sock_path, device_id, port)
        check(proxy is not None, "the service port takes a connection")
        _, number = connect(sock_path, device_id, port)
        check(number == 3, "a service port takes one connection only")
        apps = {}
        if proxy:
            framed_send(proxy, {"Command": "Browse", "ClientOptions": {"ApplicationType": "Any"}})
            while True:
                page = framed_receive(proxy)
                if page.get("Status") == "Complete":
                    break
                for app in page.get("CurrentList", []):
                    apps[app["CFBundleIdentifier"]] = app["ApplicationType"]
        check(apps.get("com.mrz4.ringtone.pid40ch1") == "User" and apps.get("com.apple.Preferences") == "System",
              "Browse lists the apps: %r" % apps)

        # Unplug: the phone's streams end and the listener hears it go.
        tool("unplug", phone)
        _, detached = listener.receive()
        check(detached == {"MessageType": "Detached", "DeviceID": device_id}, "Detached: %r" % detached)
        lockdown.settimeout(WAIT)
        check(lockdown.recv(1) == b"", "unplugging ends the lockdown stream")
        if proxy:
            proxy.settimeout(WAIT)
            check(proxy.recv(1) == b"", "unplugging ends the service stream")
        check(idevice("idevice_id", "-l").stdout.strip() == "", "an unplugged phone is not listed")

        # An untrusted phone: the tools fail, the stand-in serves on; trusting sends Paired.
        tool("untrust", phone)
        tool("plug", phone)
        _, attached = listener.receive()
        check(attached.get("MessageType") == "Attached" and attached["DeviceID"] != device_id,
              "a new DeviceID at each attach: %r" % attached)
        result = idevice("ideviceinfo", "-u", udid, "-k", "DeviceName")
        check(result.returncode != 0, "ideviceinfo fails on an untrusted phone: %r" % result.stdout)
        check(idevice("idevice_id", "-l").stdout.split() == [udid], "the stand-in serves on")
        tool("trust", phone)
        _, paired = listener.receive()
        check(paired == {"MessageType": "Paired", "DeviceID": attached["DeviceID"]}, "Paired: %r" % paired)

        # The command line: a second server, a path too long, the end.
        second = subprocess.run([phone_tool, "serve-usbmux", sock_path], env=env, capture_output=True, text=True)
        check(second.returncode == 1 and second.stdout == "" and
              second.stderr == "ruvo-phone: serve-usbmux: a server already answers at %s\n" % sock_path,
              "second server: %d %r %r" % (second.returncode, second.stdout, second.stderr))
        long_path = os.path.join(root, "s" * 120)
        result = subprocess.run([phone_tool, "serve-usbmux", long_path], env=env, capture_output=True, text=True)
        check(result.returncode == 2 and result.stdout == "" and result.stderr ==
              "ruvo-phone: serve-usbmux: the socket path is too long for a Unix socket: %s\n" % long_path,
              "long path: %d %r" % (result.returncode, result.stderr))
        server.send_signal(signal.SIGTERM)
        out, err = server.communicate(timeout=WAIT)
        check(server.returncode == 0 and out == "" and err == "", "SIGTERM: %d %r %r" % (server.returncode, out, err))
        check(not os.path.exists(sock_path), "the socket is removed")
        server = None

        # A stale socket file is replaced.
        stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        stale.bind(sock_path)
        stale.close()
        server = subprocess.Popen([phone_tool, "serve-usbmux", sock_path], env=env,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        check(wait_for(lambda: idevice("idevice_id", "-l").stdout.split() == [udid]),
              "a stale socket is replaced and serves")
    finally:
        if server:
            server.kill()
            server.wait()
        shutil.rmtree(root, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
