"""The status page (murmelon_update.status_page) in headless Chromium, Debian's package: it renders
without a console error (its content security policy makes any reference to elsewhere
one), and in a screenshot the newest build's colour fills its share of the last day's
bar, a withdrawn build's red its share, and a pause by the watch stands out. The browser is driven over its DevTools pipe (--remote-debugging-pipe: JSON
messages ending in a zero byte, on descriptors 3 and 4)."""

import base64
import datetime
import json
import os
import select
import shutil
import struct
import subprocess
import tempfile
import time
import unittest
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
from murmelon_update import status, status_page
from test_update_server import log_line

CHROMIUM = shutil.which("chromium")
BUILD = os.environ.get("MURMELON_BUILD", os.path.join(ROOT, "build", "mingw"))
# Without the background-networking flags the browser's own connections are refused on a
# closed network and reported; none of them is about the page.
FLAGS = ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--remote-debugging-pipe")
TIMEOUT = 30


class Browser:
    """One headless Chromium with one page, for one test; every read has a deadline."""

    def __init__(self, work):
        ours, self.theirs = os.pipe(), os.pipe()
        self.commands, self.answers = ours[1], self.theirs[0]

        def descriptors():  # the browser reads commands on 3 and writes answers on 4
            read, write = os.dup(ours[0]), os.dup(self.theirs[1])
            os.dup2(read, 3)
            os.dup2(write, 4)

        self.process = subprocess.Popen(
            ["timeout", "-k", "5", str(TIMEOUT * 2), CHROMIUM, *FLAGS, f"--user-data-dir={work}", "about:blank"],
            preexec_fn=descriptors, close_fds=False, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        for fd in (ours[0], self.theirs[1]):
            os.close(fd)
        self.buffer, self.next_id, self.events = b"", 0, []
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        for domain in ("Page", "Runtime", "Log"):
            self.call(f"{domain}.enable", session=True)
        self.call("Emulation.setDeviceMetricsOverride", width=1000, height=1400, deviceScaleFactor=1,
                  mobile=False, session=True)

    def _message(self, deadline):
        while b"\0" not in self.buffer:
            ready, _, _ = select.select([self.answers], [], [], max(0, deadline - time.monotonic()))
            if not ready:
                raise AssertionError("Chromium did not answer in time")
            piece = os.read(self.answers, 1 << 20)
            if not piece:
                raise AssertionError("Chromium closed its DevTools pipe")
            self.buffer += piece
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, session=False, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = self.session
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + TIMEOUT
        while True:
            answer = self._message(deadline)
            if answer.get("id") == self.next_id:
                if "error" in answer:
                    raise AssertionError(f"{method}: {answer['error']}")
                return answer["result"]
            self.events.append(answer)

    def load(self, path):
        """Opens the file and waits for its load event; the console errors it caused."""
        del self.events[:]
        self.call("Page.navigate", url="file://" + path, session=True)
        deadline = time.monotonic() + TIMEOUT
        while not any(e.get("method") == "Page.loadEventFired" for e in self.events):
            self.events.append(self._message(deadline))
        self.call("Runtime.evaluate", expression="0", session=True)  # what the load reported has arrived
        return [e["params"] for e in self.events if e.get("method") == "Runtime.exceptionThrown"
                or (e.get("method") == "Log.entryAdded" and e["params"]["entry"]["level"] == "error")
                or (e.get("method") == "Runtime.consoleAPICalled" and e["params"]["type"] == "error")]

    def box(self, selector):
        found = self.call("Runtime.evaluate", session=True, returnByValue=True,
                          expression=f"JSON.stringify(document.querySelector({json.dumps(selector)})"
                                     f".getBoundingClientRect())")
        return json.loads(found["result"]["value"])

    def text(self, selector):
        found = self.call("Runtime.evaluate", session=True, returnByValue=True,
                          expression=f"document.querySelector({json.dumps(selector)}).innerText")
        return found["result"]["value"]

    def screenshot(self, clip=None):
        params = {"format": "png", "captureBeyondViewport": True}
        if clip:
            params["clip"] = dict(clip, scale=1)
        return base64.b64decode(self.call("Page.captureScreenshot", session=True, **params)["data"])

    def close(self):
        try:
            self.call("Browser.close")
        except AssertionError:
            pass
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self.commands)
        os.close(self.answers)


def pixels(png):
    """(width, height, rows of (r, g, b)) of an 8-bit RGB or RGBA PNG without interlace."""
    width, height, depth, kind, _, _, interlace = struct.unpack(">IIBBBBB", png[16:29])
    assert png[:8] == b"\x89PNG\r\n\x1a\n" and depth == 8 and kind in (2, 6) and not interlace
    data, at = b"", 8
    while at < len(png):
        length, name = struct.unpack(">I4s", png[at:at + 8])
        if name == b"IDAT":
            data += png[at + 8:at + 8 + length]
        at += 12 + length
    raw, step = zlib.decompress(data), 3 if kind == 2 else 4
    stride, rows, previous = width * step, [], bytearray(width * step)
    for y in range(height):
        kind_of_filter, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - step] if i >= step else 0
            up, corner = previous[i], previous[i - step] if i >= step else 0
            if kind_of_filter == 1:
                line[i] = (line[i] + left) & 255
            elif kind_of_filter == 2:
                line[i] = (line[i] + up) & 255
            elif kind_of_filter == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind_of_filter == 4:
                p = left + up - corner
                near = min((abs(p - left), 0, left), (abs(p - up), 1, up), (abs(p - corner), 2, corner))[2]
                line[i] = (line[i] + near) & 255
        rows.append([tuple(line[x * step:x * step + 3]) for x in range(width)])
        previous = line
    return width, height, rows


def colour(text):
    return tuple(int(text[i:i + 2], 16) for i in (1, 3, 5))


def page_of(days, on_build, shares, states=None):
    """The page of 40 players over the days; on_build(d, p): the build player p ran on day d."""
    lines = [log_line(day, p % 60, f"flavour=w7 client={on_build(d, p)} served=51091 verdict=latest "
                                   f"share={shares[d]} player=p{p} complete=OK", f"192.0.2.{p}")
             for d, day in enumerate(days) for p in range(40)]
    tally = status.count(status.checks_in(lines, [0]))
    flavours = {f: [by_day[d] for d in days if d in by_day] for f, by_day in tally.flavours.items()}
    return status_page.page(status.Status(["access.log"], days, flavours, 0, 0, [], tally), "", states or {}, {})


@unittest.skipUnless(CHROMIUM, "no chromium (Debian's package; tools/setup.sh installs it)")
class StatusPageInChromium(unittest.TestCase):
    def test_the_page_renders_and_its_bars_show_the_counts(self):
        """40 players on 51081; from the second day on the staged 51091 takes 10, then 30
        of them. Then the same site after a rollback from 51091 (18 still run it) and a fix,
        51101, paused by the watch: the withdrawn build's bar in its red, never the newest
        build's colour, and the pause in a red box."""
        today = datetime.date.today()
        days = [(today - datetime.timedelta(days=n)).isoformat() for n in (2, 1, 0)]
        paused = "paused by the watch: w7: new build crashes 2.3x the old one"
        pages = (  # name, page, a reference to elsewhere, the build shown in which colour, its share of the bar
            ("status", page_of(days, lambda d, p: 51091 if p < (0, 10, 30)[d] else 51081, (100, 10, 50)),
             False, status_page.BUILD_COLOURS[0], 30 / 40),
            ("paused-and-withdrawn", page_of(days, lambda d, p: 51091 if p < (0, 30, 18)[d] else 51081, (100, 50, 10), {
                "w7": [(51101, paused), (51091, "withdrawn (release 0002)"), (51081, "kept for the others (release 0001)")]}),
             False, status_page.WITHDRAWN_COLOURS[0], 18 / 40))
        folder = os.path.join(BUILD, "status_page")
        os.makedirs(folder, exist_ok=True)
        stranger = pages[0][1].replace("</body>", '<img src="http://192.0.2.1/x.png"></body>')
        with tempfile.TemporaryDirectory() as work:
            browser = Browser(os.path.join(work, "profile"))
            try:
                for name, text, refused, shown, share in pages + (("elsewhere", stranger, True, None, None),):
                    with self.subTest(name):
                        path = os.path.join(folder, name + ".html")
                        with open(path, "w", encoding="utf-8") as file:
                            file.write(text)
                        errors = browser.load(path)
                        # A reference to elsewhere is refused, and the refusal reaches the console.
                        self.assertEqual(bool(errors), refused, errors)
                        if shown is None:
                            continue
                        with open(os.path.join(folder, name + ".png"), "wb") as file:  # to look at
                            file.write(browser.screenshot())
                        box = browser.box(f'#w7-players g[data-day="{days[-1]}"]')
                        width, height, rows = pixels(browser.screenshot(
                            {"x": box["x"], "y": box["y"], "width": box["width"], "height": box["height"]}))
                        self.assertGreater(height, 100, box)
                        counted = {c: sum(row.count(c) for row in rows)
                                   for c in (colour(shown), colour(status_page.BUILD_COLOURS[0]),
                                             colour(status_page.BUILD_COLOURS[1]))}
                        self.assertGreater(sum(counted.values()), 0.97 * width * height, counted)  # the bar fills its box
                        self.assertAlmostEqual(counted[colour(shown)] / sum(counted.values()), share, delta=0.02)
                        if name == "paused-and-withdrawn":
                            self.assertIn(paused, browser.text(".paused"))
                            _, _, rows = pixels(browser.screenshot(browser.box(".paused")))
                            red = sum(row.count(colour("#c62828")) for row in rows)
                            self.assertGreater(red, 0.3 * sum(map(len, rows)))  # the pause stands out
                            self.assertIn("(withdrawn)", browser.text("body"))
            finally:
                browser.close()


if __name__ == "__main__":
    unittest.main()
