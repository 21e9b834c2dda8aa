#!/usr/bin/env python3
"""The status page in a real browser: Debian's headless Chromium, driven through chromium-driver
by Selenium, opens the page of a miner mining on the stand-in pool and checks what a person sees:
the token asked once, the numbers the API gives, a chart with points, pause and resume (when the
miner has them), "stalled" while the miner's main loop is held and "unreachable" once it is gone.
Writes status_page.png into the output directory.

usage: status_page_test.py <mintrakel binary> <standin_pool binary> <output dir>
Exit 77 (skipped) without Selenium, chromium or chromedriver.
"""
import ctypes
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

SKIP = 77
TOKEN = "page-test-token"

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    print("status page: python3-selenium missing, skipped")
    sys.exit(SKIP)


def wait_for(what, seconds, probe):
    """probe() until it returns something true; fails the test after `seconds`."""
    end = time.monotonic() + seconds
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"not within {seconds} s: {what}")
        time.sleep(0.2)


def api(port, path, method="GET"):
    """(status, body) of one request with the token."""
    req = urllib.request.Request(f"http://127.0.0.1:{port}{path}", method=method,
                                 headers={"Authorization": "Bearer " + TOKEN})
    try:
        with urllib.request.urlopen(req, timeout=3) as res:
            return res.status, res.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


class MainThreadHold:
    """Holds the miner's main thread (and only it) with ptrace's interrupt: its main loop stops
    publishing while the HTTP server's thread goes on answering, as in a real stall."""

    PTRACE_DETACH, PTRACE_SEIZE, PTRACE_INTERRUPT = 17, 0x4206, 0x4207
    WALL = 0x40000000

    def __init__(self, pid):
        self.pid = pid
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]

    def __enter__(self):
        for request in (self.PTRACE_SEIZE, self.PTRACE_INTERRUPT):
            if self.libc.ptrace(request, self.pid, None, None) != 0:
                raise OSError(ctypes.get_errno(), "ptrace: " + os.strerror(ctypes.get_errno()))
        os.waitpid(self.pid, self.WALL)
        return self

    def __exit__(self, *exc):
        self.libc.ptrace(self.PTRACE_DETACH, self.pid, None, None)


def page_numbers(driver):
    """What the page shows, by element id, read in one script so no refresh falls in between."""
    return driver.execute_script("""
        const text = (id) => document.getElementById(id).textContent;
        const shown = {};
        for (const id of ['rate-10s', 'rate-60s', 'rate-15m', 'accepted', 'rejected', 'stale',
                          'pool', 'engine']) shown[id] = text(id);
        shown.taken = document.getElementById('numbers').dataset.taken;
        shown.threads = [...document.querySelectorAll('#threads tr')].map(
            (tr) => [...tr.cells].map((td) => td.textContent));
        return shown;""")


def api_numbers(s):
    """The same, as the page must render the summary `s`."""
    rate = lambda hs: f"{hs:.2f} H/s"  # noqa: E731
    p = s["pool"]
    return {
        "rate-10s": rate(s["hashrate_hs"]["10s"]), "rate-60s": rate(s["hashrate_hs"]["60s"]),
        "rate-15m": rate(s["hashrate_hs"]["15m"]), "accepted": str(s["shares"]["accepted"]),
        "rejected": str(s["shares"]["rejected"]), "stale": str(s["shares"]["stale"]),
        "pool": f"{p['host']}:{p['port']}", "engine": f"{s['engine']} · {s['intensity']}",
        "taken": str(s["taken_unix_ms"]),
        "threads": [[str(t["index"]), str(t["cpu"]) if t["cpu"] is not None else "unpinned",
                     rate(t["hashrate_10s_hs"]), str(t["hashes"]),
                     "yes" if t["huge_pages"] else "no"] for t in s["threads"]],
    }


def state(driver):
    return driver.find_element(By.ID, "state").get_attribute("data-state")


def main():
    miner_bin, standin_bin, out_dir = sys.argv[1:4]
    chromium = shutil.which("chromium")
    chromedriver = shutil.which("chromedriver")
    if not chromium or not chromedriver:
        print("status page: chromium or chromedriver missing, skipped")
        return SKIP
    started = time.monotonic()
    tmp = tempfile.mkdtemp()
    procs = []
    driver = None
    try:
        pool = subprocess.Popen([standin_bin, "--difficulty", "40", "--job-interval", "5"],
                                stdout=open(os.path.join(tmp, "pool.out"), "w"),
                                stderr=subprocess.STDOUT)
        procs.append(pool)
        pool_out = os.path.join(tmp, "pool.out")
        line = wait_for("the stand-in pool listening", 10, lambda: re.search(
            r"listening on (127\.0\.0\.1:\d+)", pathlib.Path(pool_out).read_text()))
        miner_out = os.path.join(tmp, "miner.out")
        miner = subprocess.Popen(
            [miner_bin, "--no-color", "-o", line.group(1), "-u", "qel1pagetest", "-w", "page",
             "-t", "2", "--http", "127.0.0.1:0", "--http-token", TOKEN],
            stdout=open(miner_out, "w"), stderr=subprocess.STDOUT)
        procs.append(miner)
        found = wait_for("the miner's http line", 20, lambda: re.search(
            r" http  API on .* status page (http://127\.0\.0\.1:(\d+)/)",
            pathlib.Path(miner_out).read_text()))
        url, port = found.group(1), int(found.group(2))

        options = webdriver.ChromeOptions()
        options.binary_location = chromium
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync", "--window-size=1200,1100",
                     "--user-data-dir=" + os.path.join(tmp, "profile")):
            options.add_argument(flag)
        driver = webdriver.Chrome(service=Service(chromedriver), options=options)
        driver.set_page_load_timeout(20)
        driver.get(url)

        # The token is asked once and then kept for the tab.
        wait_for("the token form", 10, lambda: driver.find_element(By.ID, "token").is_displayed())
        driver.find_element(By.ID, "token").send_keys(TOKEN)
        driver.find_element(By.CSS_SELECTOR, "#token-form button").click()
        wait_for("live numbers", 15, lambda: state(driver) == "live")
        assert driver.execute_script("return sessionStorage.getItem('mintrakel-token')") == TOKEN

        # The chart has points once the miner has some history, and there are shares. Past 10 s
        # the 10 s rate is no longer the whole run's, so a page that swaps rates is seen.
        wait_for("a chart of 12 points and an accepted share", 40, lambda: len(
            driver.find_element(By.ID, "chart-total").get_attribute("points").split()) >= 12
            and driver.find_element(By.ID, "accepted").text not in ("—", "0"))

        # The numbers shown are the API's: compared when both come from the same snapshot.
        def same_snapshot():
            shown = page_numbers(driver)
            status, body = api(port, "/api/v1/summary")
            return status == 200 and shown["taken"] == str(json.loads(body)["taken_unix_ms"]) \
                and (shown, api_numbers(json.loads(body)))
        shown, expected = wait_for("the page and the API on one snapshot", 20, same_snapshot)
        assert shown == expected, f"page {shown}\napi  {expected}"
        # The README's picture wants a longer chart: STATUS_PAGE_SHOT_AFTER seconds of mining.
        time.sleep(float(os.environ.get("STATUS_PAGE_SHOT_AFTER", "0")))
        driver.save_screenshot(os.path.join(out_dir, "status_page.png"))

        status, _ = api(port, "/api/v1/pause", "POST")
        if status in (404, 405):
            print(f"status page: SKIPPED pause and resume: POST /api/v1/pause answered {status} "
                  "(this miner has no run control)")
        else:
            assert driver.find_element(By.ID, "pause").is_displayed()
            api(port, "/api/v1/resume", "POST")
            driver.find_element(By.ID, "pause").click()
            wait_for("the API saying paused", 10,
                     lambda: json.loads(api(port, "/api/v1/summary")[1]).get("paused") is True)
            wait_for("the page saying paused", 10, lambda: driver.find_element(
                By.ID, "paused").text.startswith("paused"))
            driver.find_element(By.ID, "resume").click()
            wait_for("the API saying mining", 10,
                     lambda: json.loads(api(port, "/api/v1/summary")[1]).get("paused") is False)

        # A held main loop: the API answers 503 and the page says stalled, with the last time.
        with MainThreadHold(miner.pid):
            wait_for("the API answering 503", 15, lambda: api(port, "/api/v1/summary")[0] == 503)
            wait_for("the page saying stalled", 10, lambda: state(driver) == "stalled")
            shown = driver.find_element(By.ID, "state").text
            assert "last good numbers at" in shown, shown
        wait_for("live again", 15, lambda: state(driver) == "live")

        miner.send_signal(signal.SIGINT)
        miner.wait(10)
        wait_for("the page saying unreachable", 15, lambda: state(driver) == "unreachable")
        assert "last good numbers at" in driver.find_element(By.ID, "state").text
    finally:
        if driver is not None:
            driver.quit()
        for p in reversed(procs):
            if p.poll() is None:
                p.send_signal(signal.SIGINT)
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
        shutil.rmtree(tmp, ignore_errors=True)
    print(f"status page: passed in {time.monotonic() - started:.1f} s; screenshot "
          f"{os.path.join(out_dir, 'status_page.png')}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
