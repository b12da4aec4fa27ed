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
  bench/web_bench.py --build build --domains 30000 [--rounds 20]

With --domains N, the queue's N entries each get a recipient domain of its
own past ASCII (nö<id>.test), and 4 clients at once ask for the list of one
domain each, --rounds times: every answer must be that one entry, and
mq-web must still run at the end.

  bench/web_bench.py --build build --hostile 200000 [--rounds 20]

With --hostile N, the queue's N entries have one sender in 1,000 of
100,000 characters; three users keep six selections running (two each,
patterns that backtrack in other engines, and a walk by recipient), and a
fourth user loads the list, the overview and an entry --rounds times each:
how long the fourth user waits (the bar is 1 s).

Not a test: figures, not verdicts (the bar is 500 ms for both pages).
"""

import argparse
import http.cookiejar
import os
import re
import threading
import urllib.parse
import urllib.request
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
    ap.add_argument("--domains", type=int, default=0, help="entries with domains of their own, for --rounds")
    ap.add_argument("--rounds", type=int, default=20)
    ap.add_argument("--hostile", type=int, default=0, help="entries of the queue under hostile selections")
    a = ap.parse_args()
    if a.domains:
        return domain_filters(a)
    if a.hostile:
        return hostile_neighbours(a)
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


def programs(a):
    b = os.path.abspath(a.build)
    return {"daemon": b + "/orvane-mail-quarantine", "overseer": b + "/tools/overseer/mq-overseer",
            "web": b + "/tools/web/mq-web", "bench": b + "/bench/mq-bench"}


def log_in(run, base, user):
    """A new user USER and an opener logged in as them (with the login form's token)."""
    subprocess.run([programs(run.a)["web"], "--users", os.path.join(run.tmp, "users"), "set-user", user],
                   input=b"bench password\n", check=True, capture_output=True)
    opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(http.cookiejar.CookieJar()))
    page = opener.open(base + "/login", timeout=60).read().decode()
    token = re.search(r'name="login_token" value="([0-9a-f]+)"', page).group(1)
    body = urllib.parse.urlencode({"login_token": token, "user": user, "password": "bench password"}).encode()
    assert 'id="statuses"' in opener.open(base + "/login", body, timeout=60).read().decode(), user
    return opener


def hostile_neighbours(a):
    """Six hostile selections of three users against --hostile entries;
    how long a fourth user's pages take meanwhile."""
    p = programs(a)
    run = harness.Run("mq-web-bench.", 600, a.dir)
    run.a = a
    stop = threading.Event()
    threads = []
    try:
        subprocess.run([p["bench"], "--fill", run.state + "/spool", "--fill-count", str(a.hostile)], check=True)
        subprocess.run(["sqlite3", run.state + "/spool/queue.db",
                        "UPDATE smtp_sender SET sender = printf('%.*c', 100000, 'a') || '@x.test' "
                        "WHERE entry_id % 1000 = 0;"], check=True)
        base = run.start_web(p, "bench", "bench password")
        openers = [log_in(run, base, "user%d" % i) for i in range(4)]
        patterns = ("^(a+)+$", "((a*)*)*c$", "(a|aa)*b$", "(x+x+)+y", "^(.*a){20}z")
        hostile = ["sender=" + urllib.parse.quote(x) for x in patterns] + ["rcpt=" + urllib.parse.quote("(a|b|ab)*c")]
        answers = []

        def keep_asking(opener, query):
            while not stop.is_set():
                t0 = time.monotonic()
                try:
                    opener.open(base + "/list?status=smtp-fresh&" + query, timeout=120).read()
                    answers.append((200, time.monotonic() - t0))
                except urllib.error.HTTPError as e:
                    answers.append((e.code, time.monotonic() - t0))

        for i, query in enumerate(hostile):
            threads.append(threading.Thread(target=keep_asking, args=(openers[i // 2], query)))
            threads[-1].start()
        time.sleep(2)  # all six under way
        times = {}
        for _ in range(a.rounds):
            for path in ("/list?status=smtp-fresh", "/", "/entry?id=1"):
                t0 = time.monotonic()
                page = openers[3].open(base + path, timeout=120).read().decode()
                times.setdefault(path, []).append(time.monotonic() - t0)
                assert "<main>" in page, path
        for path, t in times.items():
            t.sort()
            print("%-26s beside 6 hostile selections: median %.3f s, max %.3f s [%d runs]" %
                  (path, statistics.median(t), t[-1], len(t)))
        stop.set()
        for t in threads:
            t.join()
        done = [s for s, _ in answers]
        print("hostile selections answered: %d (%s), longest %.1f s" % (
            len(done), ", ".join("%d: %d" % (s, done.count(s)) for s in sorted(set(done))),
            max(t for _, t in answers) if answers else 0))
        return 0
    finally:
        stop.set()
        run.stop()


def domain_filters(a):
    """4 concurrent domain filters over --domains distinct international
    domains, --rounds times."""
    p = programs(a)
    run = harness.Run("mq-web-bench.", 600, a.dir)
    run.a = a
    try:
        subprocess.run([p["bench"], "--fill", run.state + "/spool", "--fill-count", str(a.domains)], check=True)
        subprocess.run(["sqlite3", run.state + "/spool/queue.db",
                        "UPDATE smtp_recipient SET recipient = 'r@n\u00f6' || entry_id || '.test';"], check=True)
        base = run.start_web(p, "bench", "bench password")
        web = run.procs[-1]
        # A user has two selections at once: each client logs in as its own.
        openers = [log_in(run, base, "bench%d" % i) for i in range(4)]
        failures, times = [], []

        def ask(opener, k):
            t0 = time.monotonic()
            try:
                query = urllib.parse.quote("n\u00f6%d.test" % k)
                page = opener.open(base + "/list?status=smtp-fresh&domain=" + query, timeout=120).read().decode()
                if page.count('<td class="sender">') != 1:
                    failures.append("n\u00f6%d.test: %d rows" % (k, page.count('<td class="sender">')))
            except Exception as e:  # noqa: BLE001 (a crash shows as a refused connection)
                failures.append("n\u00f6%d.test: %s" % (k, e))
            times.append(time.monotonic() - t0)

        for r in range(a.rounds):
            threads = [threading.Thread(target=ask, args=(openers[i], 1 + (r * 4 + i) * 997 % a.domains))
                       for i in range(4)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        alive = web.poll() is None
        times.sort()
        print("%d rounds of 4 concurrent domain filters over %d domains: median %.3f s, max %.3f s, "
              "%d failures, mq-web %s" % (a.rounds, a.domains, statistics.median(times), times[-1], len(failures),
                                          "still running" if alive else "ENDED (%s)" % web.returncode))
        for f in failures[:5]:
            print("  " + f)
        return 0 if alive and not failures else 1
    finally:
        run.stop()


if __name__ == "__main__":
    sys.exit(main())
