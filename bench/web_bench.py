#!/usr/bin/python3
"""How fast mq-web's pages come in a real browser on a big queue.

Fills a smtp-fresh queue of --entries (default 1,000,000) entries as the
walks of mq-bench do (mq-bench --fill), runs the daemon under mq-overseer
and mq-web on it, logs in with headless Chromium and loads the overview and
the first page of the list --runs times each, reading the browser's own
navigation timing: from the start of the navigation to the end of the load
event, the page drawn with its style sheet. Then it waits for the shape
(domain by age, counted apart) and loads the overview again with it.

  bench/web_bench.py --build build [--entries N] [--runs N] [--dir /tmp]

Not a test: figures, not verdicts (the bar is 500 ms for both pages).
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

from selenium.webdriver.common.by import By

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "web"))
import harness  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--entries", type=int, default=1000000)
    ap.add_argument("--runs", type=int, default=10)
    ap.add_argument("--dir", default="/tmp")
    ap.add_argument("--shape-wait", type=float, default=900, help="seconds to wait for the shape")
    a = ap.parse_args()
    b = os.path.abspath(a.build)
    # A million entries take the daemon some minutes to count at its start.
    run = harness.Run("mq-web-bench.", 600, a.dir)
    driver = None
    try:
        t0 = time.monotonic()
        subprocess.run([b + "/bench/mq-bench", "--fill", run.state + "/spool", "--fill-count", str(a.entries)],
                       check=True)
        print("filled %d entries in %.0f s" % (a.entries, time.monotonic() - t0))
        base = run.start_web({"daemon": b + "/orvane-mail-quarantine", "overseer": b + "/tools/overseer/mq-overseer",
                              "web": b + "/tools/web/mq-web"}, "bench", "bench password")

        driver = harness.chromium()
        driver.get(base + "/login")
        harness.log_in(driver, "bench", "bench password")
        time.sleep(1)

        def measure(path, check):
            times = []
            for _ in range(a.runs):
                driver.get(base + path)
                assert check(), path
                t = driver.execute_script(
                    "const n = performance.getEntriesByType('navigation')[0];"
                    "return [n.responseEnd - n.startTime, n.loadEventEnd - n.startTime];")
                times.append(t)
            load = sorted(t[1] for t in times)
            answer = sorted(t[0] for t in times)
            print("%-34s load: median %6.1f ms, max %6.1f ms (answer: median %6.1f ms)  [%d runs]" %
                  (path, statistics.median(load), load[-1], statistics.median(answer), a.runs))
            return load

        figures = driver.find_element(By.CSS_SELECTOR, "#statuses tr:nth-child(2)").text
        print("overview says: " + figures)
        measure("/", lambda: driver.find_elements(By.ID, "statuses"))
        measure("/list?status=smtp-fresh", lambda: len(driver.find_elements(By.CSS_SELECTOR, "#entries tr")) == 51)
        measure("/list?status=smtp-fresh&after=" + driver.find_element(By.ID, "next").get_attribute("href").split(
            "after=")[1], lambda: len(driver.find_elements(By.CSS_SELECTOR, "#entries tr")) == 51)
        t0 = time.monotonic()
        while time.monotonic() - t0 < a.shape_wait:
            driver.get(base + "/")
            if driver.find_elements(By.ID, "shape"):
                break
            time.sleep(5)
        if driver.find_elements(By.ID, "shape"):
            print("shape counted in the background: " + driver.find_element(By.CSS_SELECTOR, "p.note").text)
            measure("/", lambda: driver.find_elements(By.ID, "shape"))
        else:
            print("the shape was not counted within %.0f s" % a.shape_wait)
    finally:
        if driver:
            driver.quit()
        run.stop()


if __name__ == "__main__":
    main()
