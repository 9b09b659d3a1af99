#!/usr/bin/python3
"""Opens the listening page in headless Chromium and checks what a listener sees.

usage: page_check.py CHROMIUM URL STATION TITLE [LANDING]

LANDING: the address the page is expected at when URL redirects there.

Talks to the browser over its DevTools protocol (a WebSocket on 127.0.0.1),
with nothing but the standard library. Prints which audio path ran. Exits 0
when every check passed, 1 with the reason otherwise.
"""

import base64
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request


class DevTools:
    """A minimal WebSocket client for one DevTools target."""

    def __init__(self, url):
        assert url.startswith("ws://")
        host_port, path = url[5:].split("/", 1)
        host, port = host_port.split(":")
        self.sock = socket.create_connection((host, int(port)), timeout=10)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(
            (f"GET /{path} HTTP/1.1\r\nHost: {host_port}\r\nUpgrade: websocket\r\n"
             f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
             "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(1)
            if not chunk:
                raise RuntimeError("DevTools closed during the handshake")
            head += chunk
        if b" 101 " not in head.split(b"\r\n")[0]:
            raise RuntimeError("DevTools refused the WebSocket: " + head.decode(errors="replace"))
        self.next_id = 0

    def _send(self, text):
        data = text.encode()
        mask = os.urandom(4)
        header = bytes([0x81])
        if len(data) < 126:
            header += bytes([0x80 | len(data)])
        elif len(data) < 65536:
            header += bytes([0x80 | 126]) + struct.pack(">H", len(data))
        else:
            header += bytes([0x80 | 127]) + struct.pack(">Q", len(data))
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(data))
        self.sock.sendall(header + mask + masked)

    def _exactly(self, count):
        data = b""
        while len(data) < count:
            chunk = self.sock.recv(count - len(data))
            if not chunk:
                raise RuntimeError("DevTools closed the connection")
            data += chunk
        return data

    def _receive(self):
        message = b""
        while True:
            first, second = self._exactly(2)
            length = second & 0x7F
            if length == 126:
                length = struct.unpack(">H", self._exactly(2))[0]
            elif length == 127:
                length = struct.unpack(">Q", self._exactly(8))[0]
            payload = self._exactly(length)
            message += payload
            if first & 0x80:
                return json.loads(message)

    def call(self, method, **params):
        self.next_id += 1
        self._send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            answer = self._receive()
            if answer.get("id") == self.next_id:
                if "error" in answer:
                    raise RuntimeError(f"{method}: {answer['error']}")
                return answer["result"]

    def evaluate(self, expression, gesture=False):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                           awaitPromise=True, userGesture=gesture)
        return result["result"].get("value")


def wait_for(check, seconds, what):
    deadline = time.time() + seconds
    last = None
    while time.time() < deadline:
        last = check()
        if last:
            return last
        time.sleep(0.2)
    raise RuntimeError(f"timed out waiting for {what} (last: {last!r})")


def main():
    chromium, url, station, title = sys.argv[1:5]
    landing = sys.argv[5] if len(sys.argv) > 5 else url.split("#")[0]
    profile = tempfile.mkdtemp(prefix="lantern-chromium-")
    browser = subprocess.Popen(
        [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--disable-background-networking", "--disable-component-update",
         "--disable-features=MediaRouter", "--mute-audio",
         "--user-data-dir=" + profile, "--remote-debugging-port=0",
         "--remote-debugging-address=127.0.0.1", url],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        port_file = os.path.join(profile, "DevToolsActivePort")
        wait_for(lambda: os.path.exists(port_file) and open(port_file).read().strip(), 30,
                 "the DevTools port")
        port = int(open(port_file).read().split()[0])

        def page_target():
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=5) as reply:
                targets = json.load(reply)
            return next((t for t in targets if t.get("type") == "page"
                         and t.get("url", "").startswith(landing)), None)

        target = wait_for(page_target, 20, "the page")
        tools = DevTools(target["webSocketDebuggerUrl"])

        text = lambda element: tools.evaluate(
            f"(document.getElementById({json.dumps(element)}) || {{}}).textContent || ''")
        wait_for(lambda: text("station") == station, 15, f"station name {station!r}")
        wait_for(lambda: text("title") == title, 15, f"title {title!r}")
        print(f"page shows station {station!r} and title {title!r}")

        aac = tools.evaluate("document.createElement('audio').canPlayType('audio/aac')")
        if not aac:
            # A page that cannot play is no pass: the check exists for the playback.
            print("page check failed: this browser cannot play AAC, so the page cannot play")
            return 1
        tools.evaluate("document.getElementById('play').click()", gesture=True)
        wait_for(lambda: (tools.evaluate("document.getElementById('audio').currentTime") or 0) > 1.0,
                 20, "the audio element to play for a second")
        print(f"audio path: canPlayType('audio/aac') = {aac!r}; currentTime advanced past 1 s")
        return 0
    except Exception as error:  # noqa: BLE001 - every failure is a test failure
        print(f"page check failed: {error}")
        return 1
    finally:
        browser.terminate()
        try:
            browser.wait(10)
        except subprocess.TimeoutExpired:
            browser.kill()
            browser.wait()
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
