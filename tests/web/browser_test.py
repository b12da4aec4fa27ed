#!/usr/bin/env python3
"""mq-web in headless Chromium against a running daemon: the pages and
actions checked with mqctl, hostile entries shown inert, refusals and
sessions over raw sockets. Screenshots go to --artifacts; exits 77
(skipped) without the browser."""

import argparse
import concurrent.futures
import json
import os
import pathlib
import re
import shutil
import socket
import subprocess
import sys
import threading
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "web"))
try:
    import harness
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("python3-selenium is not installed: skipped")
    sys.exit(77)

WAIT = 15 * float(os.environ.get("MQ_TEST_TIME_SCALE", "1"))
PWNED = "window.pwned=1"

# Every field the pages show, chosen by an attacker: markup, script,
# attribute breaks, control characters, bytes that are no UTF-8 and
# right-to-left overrides (\342\200\256 is U+202E).
HOSTILE_ENTRY = r'''
smtp_connect { helo: "<script>window.pwned=1</script><u>f1</u>" address: "\"><img src=x onerror=window.pwned=1><u>f2</u>"
               port: 25 proto: "ESMTP\033[31m\007<u>f3</u>" }
smtp_sender { sender: "<script>window.pwned=1</script>@evil.test<u>f4</u>"
              esmtp: "SIZE=100<u>f5</u>" esmtp: "ENVID=<b onclick=window.pwned=1>x</b>" }
smtp_recipient { recipient: "\"><svg onload=window.pwned=1>@victim.test<u>f6</u>" esmtp: "NOTIFY=\342\200\256gnp.exe<u>f7</u>" }
smtp_recipient { recipient: "bad\377\376utf8@\342\200\256victim.test\330\234" }
url { url: "javascript:window.pwned=1<u>f8</u>" legal_url: "http://x/\"><script>window.pwned=1</script><u>f9</u>" category: UC_ADULT_CONTENT }
mime_part { path: "invoice\342\200\256fdp.exe<script>window.pwned=1</script><u>f10</u>"
            scan_report: "<iframe src=javascript:window.pwned=1></iframe><u>f11</u>"
            kavren_sample { id: "<b>s1</b><u>f12</u>" analysis { params: "<style>body{display:none}</style><u>f13</u>" id: "a1<u>f14</u>" } } }
attempts: 1234567890
session_id: "<script>window.pwned=1</script><u>f15</u>LONG"
'''.replace("LONG", "W" * 600)
# Each string field above carries its own <u>fN</u> (f16: the message's
# header): one left unescaped shows. The URLs and the scan report (f8, f9,
# f11) do not come back in the daemon's answer for this seed.
SHOWN_FIELDS = [i for i in range(1, 17) if i not in (8, 9, 11)]

HOSTILE_MESSAGE = (b"Subject: <script>window.pwned=1</script><u>f16</u>\r\n"
                   b"From: \"\xe2\x80\xae evil\" <x@evil.test>\r\n"
                   b"X-Bad: \xff\xfe\x1b[2J\r\n"
                   b"Content-Type: text/html\r\n\r\n"
                   b"<html><body onload=\"window.pwned=1\"><script>window.pwned=1</script></body></html>\r\n")


class Run(harness.Run):
    def __init__(self, a):
        super().__init__("mq-web-test-", WAIT)
        self.a = a
        os.makedirs(a.artifacts, exist_ok=True)

    def mqctl(self, *args, check=True):
        r = subprocess.run([self.a.mqctl, "--state-dir", self.state] + list(args), capture_output=True, timeout=WAIT)
        if check and r.returncode != 0:
            raise AssertionError("mqctl %s: %s %s" % (args, r.stdout, r.stderr))
        return r

    def put(self, sender, rcpt, message=b"Subject: hello\r\n\r\nbody\r\n"):
        path = pathlib.Path(self.tmp, "m.eml")
        path.write_bytes(message)
        return int(self.mqctl("put", str(path), "--sender", sender, "--rcpt", rcpt).stdout)

    def seed(self, entry_text, message, status="smtp-fresh", count=1):
        files = [pathlib.Path(self.tmp, name) for name in ("entry.txt", "hostile.eml")]
        for path, data in zip(files, (entry_text.encode(), message)):
            path.write_bytes(data)
        r = subprocess.run([self.a.seed, os.path.join(self.state, "sorter.sock"), status] + files + [str(count)],
                           capture_output=True, timeout=WAIT)
        assert r.returncode == 0, r.stderr
        return int(r.stdout)

    def get(self, entry_id, check=True):
        """The entry's fields, or (check=False) whether it exists."""
        r = self.mqctl("--json", "get", str(entry_id), "--out", os.devnull, check=check)
        return json.loads(r.stdout) if check else r.returncode == 0

    def users(self, *args, password=""):
        subprocess.run([self.a.web, "--users", os.path.join(self.tmp, "users")] + list(args),
                       input=password.encode(), check=True, capture_output=True, timeout=WAIT)


def raw(port, method, path, headers=(), body=b"", host=None, leave=False):
    """One exchange on a socket of its own: status, headers (lower-case
    names, lists of values), body; with `leave` the socket is closed at
    once, nothing read."""
    head = "%s %s HTTP/1.1\r\n" % (method, path)
    if host is not False:
        head += "Host: %s\r\n" % (host or "127.0.0.1:%d" % port)
    for name, value in headers:
        head += "%s: %s\r\n" % (name, value)
    if body:
        head += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: %d\r\n" % len(body)
    s = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
    s.sendall(head.encode() + b"\r\n" + body)
    if leave:
        return s.close()
    with s, s.makefile("rb") as f:
        head, _, body = f.read().partition(b"\r\n\r\n")
    lines, fields = head.decode("latin-1").split("\r\n"), {}
    for name, _, value in (line.partition(":") for line in lines[1:]):
        fields.setdefault(name.strip().lower(), []).append(value.strip())
    return (int(lines[0].split()[1]) if lines[0] else 0), fields, body


def form(fields):
    return "&".join("%s=%s" % (k, urllib.request.quote(str(v), safe="")) for k, v in fields).encode()


def login_form(port):
    """The pre-login cookie and the login form's token that goes with it."""
    status, fields, body = raw(port, "GET", "/login")
    assert status == 200, status
    cookie = re.match(r"(mq_login=[0-9a-f]+);", fields["set-cookie"][0]).group(1)
    return cookie, re.search(rb'name="login_token" value="([0-9a-f]+)"', body).group(1).decode()


def log_in_raw(port, user, password, pre=None):
    """Logs in over a socket: the status and the session's cookie, if any."""
    cookie, token = pre or login_form(port)
    status, fields, _ = raw(port, "POST", "/login", [("Cookie", cookie)],
                            form([("login_token", token), ("user", user), ("password", password)]))
    session = [c.split(";")[0] for c in fields.get("set-cookie", []) if c.startswith("mq_session=")]
    return status, (session[0] if session else None), fields

SECURITY_HEADERS = ("content-security-policy", "x-content-type-options", "x-frame-options", "referrer-policy")


def check_refusals(run, port, session, csrf, alice):
    """Foreign hosts, foreign origins, forms without their token for every
    action, bad words, the login form posted from elsewhere: each refused,
    nothing changed, and every answer with the security headers."""
    refusals = []
    for path, host, headers, want in (
            ("/login", "LocalHost:%d" % port, [], 200), ("/login", "evil.test:%d" % port, [], 421), ("/login", False, [], 421),
            ("/no-such-page", None, [("Bad Header", "x")], 400), ("/no-such-page", None, [("X", "a" * 20000)], 431),
            ("/no-such-page", None, [("Cookie", session)], 404)):
        refusals.append(raw(port, "GET", path, headers, host=host))
        assert refusals[-1][0] == want, (path, host, headers[:1], refusals[-1][0])
    run.mqctl("update", str(alice), "--next-access-ts", "+2h")
    before = run.get(alice)
    sel = [("status", "smtp-fresh"), ("sender", "^alice@")]
    ids, to = [("id", alice)], [("to", "smtp-accepted")]
    acts = [("/act", [("do", d + ":" + kind)] + which + t) for kind, which in (("ids", ids), ("selection", sel))
            for d, t in (("retry", []), ("remove", []), ("move", to))]
    acts.append(("/logout", []))
    wrong = csrf[:-1] + ("1" if csrf[-1] == "0" else "0")
    foreign = ([("Origin", "http://evil.test")], [("Origin", "http://127.0.0.1:%d.evil.test" % port)],
               [("Origin", "null")], [("Sec-Fetch-Site", "cross-site")], [("Sec-Fetch-Site", "same-site")])
    cases = [([], t, b"form token") for t in ([], [("csrf", "")], [("csrf", "0" * 64)], [("csrf", wrong)])]
    cases += [(h, [("csrf", csrf)], b"another site") for h in foreign]
    for path, fields in acts:
        for headers, token, why in cases:
            answer = raw(port, "POST", path, headers + [("Cookie", session)], form(fields + token))
            assert answer[0] == 403 and why in answer[2], (path, fields, headers, token, answer[0])
            refusals.append(answer)
    # Bad words are the asker's fault, never the daemon's.
    for path, fields in (("/confirm?do=move:ids&id=%d&to=bogus" % alice, None),
                         ("/confirm?do=move:selection&status=smtp-fresh&to=bogus", None),
                         ("/act", [("do", "move:ids"), ("id", alice), ("to", "bogus"), ("csrf", csrf)])):
        answer = raw(port, "POST" if fields else "GET", path, [("Cookie", session)], form(fields) if fields else b"")
        assert answer[0] == 400 and b"unknown status" in answer[2], (path, answer[0])
    after = run.get(alice)
    assert (after["status"], after["next_access_ts"]) == (before["status"], before["next_access_ts"]), (before, after)
    run.wait_log("web.log", "refused a POST to /act without the form token")
    assert raw(port, "GET", "/", [("Cookie", session)])[0] == 200  # not logged out either
    # The login form, posted from elsewhere, logs nobody in.
    cookie, token = login_form(port)
    other = login_form(port)
    for headers, fields in (([], []), ([("Cookie", cookie)], []), ([("Cookie", cookie)], [("login_token", other[1])]),
                            ([("Cookie", cookie), ("Origin", "http://evil.test")], [("login_token", token)])):
        answer = raw(port, "POST", "/login", headers,
                     form(fields + [("user", "admin"), ("password", "right password")]))
        assert answer[0] == 403 and "mq_session" not in str(answer[1]), (headers, fields, answer[0])
        refusals.append(answer)
    for status, fields, _ in refusals:
        assert all(h in fields for h in SECURITY_HEADERS), (status, fields)
    # The count is the daemon's, whatever the form says.
    answer = raw(port, "POST", "/act", [("Cookie", session)],
                 form([("do", "retry:selection"), ("count", "999"), ("csrf", csrf)] + sel))
    assert answer[0] == 303, answer
    line = run.wait_log("web.log", r"user 'admin': Retry now the selection .*alice.*: .* done, .*").group(0)
    page = raw(port, "GET", answer[1]["location"][0], [("Cookie", session)])[2].split(b"<main>")[1]
    assert b"Retried 1 of 1 entry" in page and b"999" not in page and "999" not in line, (page, line)


def check_sessions_end(run, port):
    """A new password or a removal ends the user's sessions at once; a name
    failing in a row is locked out."""
    for name, change in (("bob", ["set-user", "bob"]), ("carol", ["remove-user", "carol"])):
        run.users("set-user", name, password="password of %s\n" % name)
        status, cookie, _ = log_in_raw(port, name, "password of " + name)
        assert status == 303 and raw(port, "GET", "/", [("Cookie", cookie)])[0] == 200, (name, status)
        run.users(*change, password="another password\n")
        status, fields, _ = raw(port, "GET", "/", [("Cookie", cookie)])
        assert status == 303 and fields["location"] == ["/login"], (name, status)
        run.wait_log("web.log", "ended a session of user '%s'" % name)
    run.users("set-user", "erin", password="password of erin\n")
    pre = login_form(port)
    with concurrent.futures.ThreadPoolExecutor(4) as pool:  # four are hashed at once
        wrong = list(pool.map(lambda _: log_in_raw(port, "erin", "wrong", pre)[0], range(4)))
    assert wrong + [log_in_raw(port, "erin", "wrong", pre)[0]] == [401] * 5, wrong
    status, cookie, fields = log_in_raw(port, "erin", "password of erin", pre)
    assert status == 429 and not cookie and int(fields["retry-after"][0]) > 0, (status, fields)
    run.wait_log("web.log", "user 'erin' locked out")
    assert log_in_raw(port, "x" * 100000, "wrong", pre)[0] == 401  # no such name is kept or hashed
    run.wait_log("web.log", "failed login for a user name of 100000 bytes")


def check_login_flood(driver, base, port, shot):
    """80 wrong logins kept in flight: a logged-in user's pages keep coming."""
    cookie, token = login_form(port)
    body = form([("login_token", token), ("user", "mallory"), ("password", "wrong")])
    stop, answers = threading.Event(), []

    def flood():
        while not stop.is_set():
            try:
                answers.append(raw(port, "POST", "/login", [("Cookie", cookie)], body))
            except OSError:
                answers.append((-1, {}, b""))
    with concurrent.futures.ThreadPoolExecutor(80) as pool:
        for _ in range(80):
            pool.submit(flood)
        try:
            loaded = []
            for i in range(22):
                driver.get(base + ("/list" if i % 2 else "/"))
                loaded.append(bool(driver.find_elements(By.CSS_SELECTOR, "#statuses, #entries")))
            shot("login_flood")
        finally:
            stop.set()
    assert loaded == [True] * 22, loaded
    statuses = [s for s, _, _ in answers]
    assert 429 in statuses and set(statuses) <= {401, 429, 0, -1}, sorted(set(statuses))
    assert all(int(f["retry-after"][0]) >= 1 for s, f, _ in answers if s == 429)


def walks_stop(run, a, port, session):
    """Over 120 senders of 100,000 characters: of six selections of one user
    two run, the rest wait, and another user's page loads; the selections of
    clients that leave stop at their next page and free the places; a bulk
    action's selection stops at its budget (0 ms on a second mq-web), acting
    on none, and its page and log line (a 200,000-byte pattern cut) say why."""
    run.seed('smtp_sender { sender: "%s@x.test" }' % ("a" * 100000), b"m", "bcc-accepted", 120)
    path = "/list?status=bcc-accepted&sender=" + urllib.request.quote("^(a+)+$")
    with concurrent.futures.ThreadPoolExecutor(6) as pool:
        asked = [pool.submit(raw, port, "GET", path, [("Cookie", session)]) for _ in range(6)]
        run.users("set-user", "bob", password="bob's password\n")
        bob = log_in_raw(port, "bob", "bob's password")[1]
        assert raw(port, "GET", "/list?status=bcc-fresh", [("Cookie", bob)])[2].count(b'<td class="sender">') == 1
        results = [(s, b) for s, _, b in (f.result(WAIT) for f in asked)]
    assert all(s == 200 or (s == 429 and b"still running" in b) for s, b in results) and \
        sum(s == 200 for s, _ in results) >= 2, [s for s, _ in results]
    for _ in range(2):
        raw(port, "GET", path, [("Cookie", session)], leave=True)
    seen = run.wait_log("web.log", r"(?s)(the selection of /list stopped after [0-9]+ entr.*: its browser left.*){2}")
    assert all(int(n) < 120 for n in re.findall(r"stopped after ([0-9]+) entr", seen.group(0))), seen.group(0)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:  # both places free again
        assert list(pool.map(lambda _: raw(port, "GET", "/list", [("Cookie", session)])[0], range(2))) == [200] * 2

    other = int(run.serve(a.web, "web-budget.log", "--action-budget-ms", "0").rsplit(":", 1)[1])
    cookie = log_in_raw(other, "admin", "right password")[1]
    csrf = re.search(rb'name="csrf" value="([0-9a-f]+)"', raw(other, "GET", "/list", [("Cookie", cookie)])[2])
    for sender, why in (("^a", "The selection was stopped after 0 s, having looked at [0-9]+ entr"),
                        ("(" * 200000, "invalid --sender .*longer than 1024 bytes")):
        fields = raw(other, "POST", "/act", [("Cookie", cookie)],
                     form([("do", "remove:selection"), ("status", "bcc-accepted"), ("sender", sender),
                           ("csrf", csrf.group(1).decode())]))[1]
        line = run.wait_log("web-budget.log", r"sender %s.*: nothing done; %s.*" % (re.escape(sender[:50]), why))
        page = raw(other, "GET", fields["location"][0], [("Cookie", cookie)])[2]
        assert re.search(rb'Nothing was removed\.</p>\n<p class="error">' + why.encode(), page), page[-600:]
        assert len(line.group(0)) < 1000, len(line.group(0))
    assert run.mqctl("list", "bcc-accepted", "--count").stdout.strip() == b"120"


def main():
    ap = argparse.ArgumentParser()
    for name in ("daemon", "overseer", "mqctl", "web", "seed", "artifacts"):
        ap.add_argument("--" + name, required=True)
    a = ap.parse_args()
    if not shutil.which("chromedriver") or not (shutil.which("chromium") or shutil.which("chromium-browser")):
        print("chromium and chromium-driver are not installed: skipped")
        return 77

    run = Run(a)
    driver = None
    try:
        base = run.start_web(vars(a), "admin", "right password")
        port = int(base.rsplit(":", 1)[1])
        alice = run.put("alice@example.org", "carol@example.net")
        bulk = [run.put("bulk%d@spam.test" % i, "x%d@example.org" % i) for i in range(3)]
        hostile = run.seed(HOSTILE_ENTRY, HOSTILE_MESSAGE)
        keep = run.put("bulkier@other.test", "y@example.org")  # matches no "^bulk[0-9]" selection

        # Without a session: pages send to the login, actions are refused.
        assert raw(port, "POST", "/act", [], form([("do", "remove:ids"), ("id", alice)]))[0] == 403
        assert run.get(alice, False)

        driver = harness.chromium()
        driver.set_page_load_timeout(WAIT)
        wait = WebDriverWait(driver, WAIT)

        def shot(name):
            driver.save_screenshot(os.path.join(a.artifacts, name + ".png"))

        def confirm(button, count, done):
            driver.find_element(By.CSS_SELECTOR, "button[value='%s']" % button).click()
            wait.until(lambda d: d.find_elements(By.ID, "count"))
            assert driver.find_element(By.ID, "count").text == count
            driver.find_element(By.ID, "proceed").click()
            wait.until(lambda d: done in d.find_element(By.ID, "state").text)

        def safe(where):
            # Nothing planted ran, no markup of theirs became an element,
            # and the page is no wider than the window.
            assert driver.execute_script("return window.pwned === undefined"), where
            planted = driver.find_elements(By.CSS_SELECTOR, "main script, main img, main svg, main iframe, main b, "
                                                            "main u, main style, main [onclick], main [onload]")
            assert not planted, (where, [e.tag_name for e in planted])
            width = driver.execute_script("return [document.documentElement.scrollWidth, window.innerWidth]")
            assert width[0] <= width[1], (where, width)

        driver.get(base + "/")
        assert driver.current_url.endswith("/login"), driver.current_url
        harness.log_in(driver, "admin", "wrong password")
        wait.until(lambda d: "Wrong user name or password" in d.page_source)
        run.wait_log("web.log", "failed login for user 'admin' from 127.0.0.1")
        harness.log_in(driver, "admin", "right password")
        wait.until(lambda d: d.find_elements(By.ID, "statuses"))
        cookie = {c["name"]: c for c in driver.get_cookies()}["mq_session"]
        assert cookie["httpOnly"] and cookie["sameSite"] == "Strict", cookie
        session = "mq_session=" + cookie["value"]
        stat = json.loads(run.mqctl("--json", "stat").stdout)
        fresh = driver.find_element(By.CSS_SELECTOR, "#statuses tr:nth-child(2)").text.split()
        assert fresh[:2] == ["smtp-fresh", str(stat["smtp-fresh"]["messages"])], (fresh, stat)
        # The shape is counted apart; it comes on a reload.
        wait.until(lambda d: d.find_elements(By.ID, "shape") or d.refresh())
        total = driver.find_element(By.CSS_SELECTOR, "#shape tr:last-child").text.split()
        assert total[:2] == ["total", "6"], total
        safe("overview")
        shot("overview")

        # Find by sender, open, retry.
        driver.find_element(By.LINK_TEXT, "Entries").click()
        driver.find_element(By.NAME, "sender").send_keys("^alice@")
        driver.find_element(By.CSS_SELECTOR, "form.filter button").click()
        wait.until(lambda d: "sender=%5Ealice%40" in d.current_url)
        rows = driver.find_elements(By.CSS_SELECTOR, "#entries tr td.sender")
        assert [r.text for r in rows] == ["alice@example.org"], [r.text for r in rows]
        driver.find_element(By.LINK_TEXT, str(alice)).click()
        wait.until(lambda d: d.find_elements(By.ID, "header"))
        assert "Subject: hello" in driver.find_element(By.ID, "header").text
        run.mqctl("update", str(alice), "--next-access-ts", "+2h")
        confirm("retry:ids", "1 entry", "Retried 1 of 1 entry")
        assert driver.current_url.startswith(base + "/job?id=")
        shot("job")
        got = run.get(alice)
        assert got["next_access_ts"] == 0, got

        # Remove a selection of three.
        driver.get(base + "/list?status=smtp-fresh&sender=" + urllib.request.quote("^bulk[0-9]@"))
        assert len(driver.find_elements(By.CSS_SELECTOR, "#entries td.sender")) == 3
        confirm("remove:selection", "3 entries", "Removed 3 of 3 entries")
        assert [run.get(i, False) for i in bulk + [keep, alice, hostile]] == [False] * 3 + [True] * 3
        assert run.mqctl("list", "smtp-fresh", "--count").stdout.strip() == b"3"
        run.wait_log("web.log", r"user 'admin': remove of entries( [0-9]+)+")

        # Hostile text on every page that shows it; in a narrow window, each number keeps one line.
        driver.set_window_size(640, 1000)
        driver.get(base + "/list?status=smtp-fresh&sender=evil")
        safe("hostile list")
        sender = driver.find_element(By.CSS_SELECTOR, "#entries td.sender").text
        assert sender == "<script>window.pwned=1</script>@evil.test<u>f4</u>", sender
        lines = driver.execute_script(
            "return [...document.querySelectorAll('#entries td.n, #entries td.t')].map(td => {"
            "const r = document.createRange(); r.selectNodeContents(td);"
            "return new Set([...r.getClientRects()].map(x => Math.round(x.top))).size; });")
        assert lines and lines == [1] * len(lines), lines
        shot("hostile_list")
        driver.set_window_size(1280, 1000)
        driver.get(base + "/entry?id=%d" % hostile)
        safe("hostile entry")
        text = driver.find_element(By.TAG_NAME, "main").text
        for shown in ["<script>window.pwned=1</script>@evil.test", "ENVID=<b onclick=window.pwned=1>x</b>",
                      "invoice\\u{202e}fdp.exe<script>", "bad\\xff\\xfeutf8@\\u{202e}victim.test\\u{061c}",
                      "ESMTP\\e[31m\\x07", "a1<u>f14</u>: <style>body{display:none}</style>",
                      "Subject: <script>window.pwned=1</script>", "X-Bad: \\xff\\xfe\\e[2J",
                      "<b>s1</b>"] + ["<u>f%d</u>" % i for i in SHOWN_FIELDS]:
            assert shown in text, (shown, text)
        shot("hostile_entry")
        driver.get(base + "/")
        safe("hostile overview")
        # A hostile query is an error in words on the page, never an option.
        driver.get(base + "/list?status=%3Cscript%3Ewindow.pwned%3D1%3C%2Fscript%3E&sender=--all")
        safe("hostile query")
        assert "unknown status '<script>" in driver.find_element(By.CSS_SELECTOR, "p.error").text
        driver.get(base + "/list?status=smtp-fresh&sender=--all")
        assert driver.find_elements(By.ID, "entries") and not driver.find_elements(By.CSS_SELECTOR, "#entries td")

        # The message is a file to save, never a page.
        status, fields, body = raw(port, "GET", "/entry/message?id=%d" % hostile, [("Cookie", session)])
        assert (status, fields["content-type"], body) == (200, ["application/octet-stream"], HOSTILE_MESSAGE), fields
        assert fields["content-disposition"] == ['attachment; filename="entry-%d.eml"' % hostile], fields

        # A 100,000-character sender, the one entry of bcc-fresh (the patterns it meets: mqctl's test).
        run.put("a" * 100000 + "@x.test", "r@x.test")
        run.mqctl("move", "smtp-fresh", "--sender", "^a{1000}", "--to", "bcc-fresh", "--yes")
        check_refusals(run, port, session, driver.find_element(By.NAME, "csrf").get_attribute("value"), alice)
        check_sessions_end(run, port)
        check_login_flood(driver, base, port, shot)
        walks_stop(run, a, port, session)
        print("browser test passed; screenshots in " + a.artifacts)
        return 0
    finally:
        if driver:
            driver.quit()
        run.stop()


if __name__ == "__main__":
    sys.exit(main())
