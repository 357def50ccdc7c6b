#!/usr/bin/env python3
"""Drives a headless Chromium for the browser tests over its DevTools pipe.

Starts Debian's chromium with --remote-debugging-pipe (messages are JSON texts ended by a NUL
byte, read from the browser's descriptor 4 and written to its descriptor 3), opens one page and
then answers commands, one JSON object a line on stdin, one JSON reply a line on stdout:

  {"cmd": "open", "url": U}                   navigate the page and wait for its load event
  {"cmd": "eval", "expr": E}                  evaluate E (promises awaited), reply its value
  {"cmd": "screenshot", "path": P, "width": W, "height": H}   write a PNG of the page
  {"cmd": "quit"}

The first line out is {"ready": true, "version": ...} or {"ready": false, "error": ...} when
no browser can run here. Every wait is bounded; the browser talks to nothing but 127.0.0.1.
"""
import base64
import json
import os
import subprocess
import sys
import tempfile
import threading
import time

CHROMIUM = os.environ.get("TAVO_CHROMIUM", "/usr/bin/chromium")
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-default-apps", "--disable-extensions", "--mute-audio",
         "--remote-debugging-pipe"]


class Browser:
    def __init__(self):
        self.profile = tempfile.TemporaryDirectory(prefix="tavo-chromium-")
        to_browser_r, self.to_browser = os.pipe()
        self.from_browser, from_browser_w = os.pipe()

        def child_fds():
            os.dup2(to_browser_r, 3)
            os.dup2(from_browser_w, 4)

        self.log = open(os.path.join(self.profile.name, "stderr.txt"), "wb")
        self.proc = subprocess.Popen(
            [CHROMIUM, *FLAGS, "--user-data-dir=" + self.profile.name, "about:blank"],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log, pass_fds=(3, 4),
            preexec_fn=child_fds)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.next_id = 0
        self.replies = {}
        self.events = []
        self.cond = threading.Condition()
        self.closed = False
        threading.Thread(target=self._read, daemon=True).start()
        self.session = None

    def _read(self):
        buf = b""
        while True:
            try:
                chunk = os.read(self.from_browser, 65536)
            except OSError:
                chunk = b""
            if not chunk:
                with self.cond:
                    self.closed = True
                    self.cond.notify_all()
                return
            buf += chunk
            while b"\0" in buf:
                raw, buf = buf.split(b"\0", 1)
                msg = json.loads(raw)
                with self.cond:
                    if "id" in msg:
                        self.replies[msg["id"]] = msg
                    else:
                        self.events.append(msg)
                    self.cond.notify_all()

    def send(self, method, params=None, session=True, timeout=20.0):
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params or {}}
        if session and self.session:
            msg["sessionId"] = self.session
        os.write(self.to_browser, json.dumps(msg).encode() + b"\0")
        deadline = time.monotonic() + timeout
        with self.cond:
            while self.next_id not in self.replies:
                left = deadline - time.monotonic()
                if self.closed or left <= 0:
                    raise RuntimeError(f"{method}: no answer from the browser"
                                       + (" (it ended)" if self.closed else ""))
                self.cond.wait(left)
            reply = self.replies.pop(self.next_id)
        if "error" in reply:
            raise RuntimeError(f"{method}: {reply['error'].get('message')}")
        return reply.get("result", {})

    def wait_event(self, method, timeout=20.0):
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for i, e in enumerate(self.events):
                    if e.get("method") == method and e.get("sessionId") == self.session:
                        del self.events[i]
                        return e
                left = deadline - time.monotonic()
                if self.closed or left <= 0:
                    raise RuntimeError(f"no {method} within {timeout} s")
                self.cond.wait(left)

    def start(self):
        version = self.send("Browser.getVersion", session=False, timeout=30.0)
        targets = self.send("Target.getTargets", session=False)["targetInfos"]
        page = next((t for t in targets if t["type"] == "page"), None)
        target = page["targetId"] if page else self.send(
            "Target.createTarget", {"url": "about:blank"}, session=False)["targetId"]
        self.session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True},
                                 session=False)["sessionId"]
        self.send("Page.enable")
        self.send("Runtime.enable")
        return version.get("product", "")

    def open(self, url):
        with self.cond:
            self.events = [e for e in self.events if e.get("method") != "Page.loadEventFired"]
        result = self.send("Page.navigate", {"url": url})
        if result.get("errorText"):
            raise RuntimeError("navigate: " + result["errorText"])
        self.wait_event("Page.loadEventFired")

    def eval(self, expr, timeout):
        result = self.send("Runtime.evaluate", {"expression": expr, "awaitPromise": True,
                                                "returnByValue": True}, timeout=timeout)
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            text = details.get("exception", {}).get("description") or details.get("text")
            raise RuntimeError("script: " + str(text))
        return result.get("result", {}).get("value")

    def screenshot(self, path, width, height):
        self.send("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})
        data = self.send("Page.captureScreenshot", {"format": "png"})["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        try:
            self.send("Browser.close", session=False, timeout=5.0)
        except Exception:
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()
        self.profile.cleanup()

    def stderr_tail(self):
        try:
            with open(os.path.join(self.profile.name, "stderr.txt"), "rb") as f:
                return f.read()[-600:].decode(errors="replace")
        except OSError:
            return ""


def reply(obj):
    sys.stdout.write(json.dumps(obj) + "\n")
    sys.stdout.flush()


def main():
    if not os.access(CHROMIUM, os.X_OK):
        reply({"ready": False, "error": f"no browser: {CHROMIUM} is not installed"})
        return 0
    browser = Browser()
    try:
        product = browser.start()
    except Exception as e:  # the browser cannot run here: say why, the test skips
        reply({"ready": False, "error": f"{e}; {browser.stderr_tail()}"})
        browser.close()
        return 0
    reply({"ready": True, "version": product})
    try:
        for line in sys.stdin:
            if not line.strip():
                continue
            cmd = json.loads(line)
            try:
                if cmd["cmd"] == "quit":
                    reply({"ok": True})
                    break
                if cmd["cmd"] == "open":
                    browser.open(cmd["url"])
                    reply({"ok": True})
                elif cmd["cmd"] == "eval":
                    reply({"ok": True, "value": browser.eval(cmd["expr"],
                                                             cmd.get("timeout_ms", 20000) / 1000)})
                elif cmd["cmd"] == "screenshot":
                    browser.screenshot(cmd["path"], cmd.get("width", 1280), cmd.get("height", 720))
                    reply({"ok": True})
                else:
                    reply({"ok": False, "error": "unknown command " + cmd["cmd"]})
            except Exception as e:
                reply({"ok": False, "error": str(e)})
    finally:
        browser.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
