"""A headless Chromium driven over the DevTools protocol through a pipe
(--remote-debugging-pipe: JSON messages ending in a NUL byte on descriptors
3 and 4), with software WebGL so that the globe renders without a GPU.
Standard library only."""

import json
import os
import subprocess
import time

from nivra_run import die_with_parent

# Software WebGL 2 through SwiftShader; root needs --no-sandbox. The new
# headless mode runs in real time, so the globe's tiles load.
CHROMIUM_FLAGS = [
    "--headless=new",
    "--no-sandbox",
    "--use-angle=swiftshader",
    "--enable-unsafe-swiftshader",
    "--no-first-run",
    "--no-default-browser-check",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--mute-audio",
]


class BrowserError(Exception):
    pass


class Browser:
    def __init__(self, profile_dir, log_path, width=1280, height=800, cpu=None, program="chromium",
                 extra_flags=()):
        to_browser_r, to_browser_w = os.pipe()
        from_browser_r, from_browser_w = os.pipe()
        command = [program] + CHROMIUM_FLAGS + [
            "--remote-debugging-pipe",
            "--user-data-dir=" + profile_dir,
            "--window-size=%d,%d" % (width, height),
            "about:blank",
        ] + list(extra_flags)
        if cpu is not None:
            command = ["taskset", "-c", str(cpu)] + command

        def child_pipes():
            os.dup2(to_browser_r, 3)
            os.dup2(from_browser_w, 4)
            die_with_parent()

        self.process = subprocess.Popen(
            command,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=open(log_path, "wb"),
            preexec_fn=child_pipes,
            # 3 and 4 are made by child_pipes before the child's other
            # descriptors are closed: they must be kept too.
            pass_fds=sorted({to_browser_r, from_browser_w, 3, 4}),
        )
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._out = to_browser_w
        self._in = from_browser_r
        self._buffer = b""
        self._next_id = 0
        self.session = None

    def close(self):
        if self.process.poll() is None:
            try:
                self.call("Browser.close", timeout=10)
            except BrowserError:
                pass
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for fd in (self._out, self._in):
            try:
                os.close(fd)
            except OSError:
                pass

    def _read_message(self, deadline):
        import select

        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise BrowserError("the browser did not answer in time")
            ready, _, _ = select.select([self._in], [], [], left)
            if not ready:
                continue
            chunk = os.read(self._in, 1 << 16)
            if not chunk:
                raise BrowserError("the browser closed its DevTools pipe")
            self._buffer += chunk
        message, _, self._buffer = self._buffer.partition(b"\0")
        return json.loads(message)

    def call(self, method, params=None, session=True, timeout=60):
        """Sends one command (to the page's session unless session=False)
        and returns its result; protocol errors raise BrowserError."""
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        try:
            os.write(self._out, json.dumps(message).encode() + b"\0")
        except OSError as e:
            raise BrowserError("the browser is gone (%s)" % e)
        deadline = time.monotonic() + timeout
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise BrowserError("%s: %s" % (method, reply["error"]))
                return reply.get("result", {})

    def open(self, url, new_window=False, before_page=None):
        """Opens `url` in a new tab (or window) and attaches to it; returns
        the page's session, which becomes the default one when there is none.
        `before_page`, a script, runs in the page before the page's own."""
        target = self.call(
            "Target.createTarget", {"url": "about:blank" if before_page else url,
                                    "newWindow": new_window}, session=False
        )["targetId"]
        session = self.call(
            "Target.attachToTarget", {"targetId": target, "flatten": True}, session=False
        )["sessionId"]
        if not self.session:
            self.session = session
        if before_page:
            saved = self.session
            self.session = session
            try:
                self.call("Page.addScriptToEvaluateOnNewDocument", {"source": before_page})
                self.call("Page.navigate", {"url": url})
            finally:
                self.session = saved
        return session

    def evaluate(self, expression, timeout=30, session=None):
        saved = self.session
        if session:
            self.session = session
        try:
            result = self.call(
                "Runtime.evaluate",
                {"expression": expression, "returnByValue": True, "awaitPromise": True},
                timeout=timeout,
            )
        finally:
            self.session = saved
        if "exceptionDetails" in result:
            raise BrowserError("page script failed: %s" % result["exceptionDetails"])
        return result.get("result", {}).get("value")

    def click(self, x, y):
        """A real left click (press and release) at the page's CSS pixel x, y."""
        for kind in ("mouseMoved", "mousePressed", "mouseReleased"):
            params = {"type": kind, "x": x, "y": y}
            if kind != "mouseMoved":
                params.update({"button": "left", "clickCount": 1})
            self.call("Input.dispatchMouseEvent", params)

    def screenshot(self, path):
        import base64

        data = self.call("Page.captureScreenshot", {"format": "png"}, timeout=120)["data"]
        png = base64.b64decode(data)
        with open(path, "wb") as f:
            f.write(png)
        return png
