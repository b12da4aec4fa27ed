"""What the browser test and the web benchmark share: programs started in a
temporary folder, each with its output in a log file there, waits for a
line of those logs, and mq-web in headless Chromium (Debian's chromium,
chromium-driver and python3-selenium)."""

import os
import re
import shutil
import subprocess
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By


class Run:
    """A temporary folder (the daemon's state in its "state") and the
    programs started in it; stop() ends them, last started first, and
    removes the folder. No wait is longer than `limit` seconds."""

    def __init__(self, prefix, limit, parent=None):
        self.limit = limit
        self.tmp = tempfile.mkdtemp(prefix=prefix, dir=parent)
        self.state = os.path.join(self.tmp, "state")
        self.procs = []

    def start(self, args, log):
        with open(os.path.join(self.tmp, log), "wb") as f:
            p = subprocess.Popen(args, stdout=f, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, cwd=self.tmp)
        self.procs.append(p)
        return p

    def wait_log(self, log, pattern):
        """The first match of `pattern` in the log; AssertionError with the
        whole log when none comes."""
        deadline = time.monotonic() + self.limit
        while True:
            with open(os.path.join(self.tmp, log), "rb") as f:
                text = f.read().decode("utf-8", "replace")
            m = re.search(pattern, text)
            if m:
                return m
            if time.monotonic() >= deadline:
                raise AssertionError("no %r in %s:\n%s" % (pattern, log, text))
            time.sleep(0.05)

    def start_web(self, build, user, password):
        """The daemon under mq-overseer on the state folder and mq-web on a
        free port with one user; mq-web's address. `build` names the
        programs: daemon, overseer, web."""
        self.start([build["overseer"], "--daemon", build["daemon"], "--state-dir", self.state], "overseer.log")
        self.wait_log("overseer.log", "daemon ready with configuration revision 1")
        users = os.path.join(self.tmp, "users")
        subprocess.run([build["web"], "--users", users, "set-user", user], input=(password + "\n").encode(),
                       check=True, capture_output=True, timeout=self.limit)
        return self.serve(build["web"])

    def serve(self, web, log="web.log", *options):
        """mq-web with `options` on the state folder, the users file and a
        free port, its output in `log`; its address."""
        self.start([web, "--users", os.path.join(self.tmp, "users"), "--state-dir", self.state, "--listen",
                    "127.0.0.1:0"] + list(options), log)
        port = self.wait_log(log, r"serving on http://127\.0\.0\.1:([0-9]+)/").group(1)
        return "http://127.0.0.1:" + port

    def stop(self):
        for p in reversed(self.procs):
            p.terminate()
            try:
                p.wait(self.limit)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        shutil.rmtree(self.tmp, ignore_errors=True)


def chromium():
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu", "--window-size=1280,1000"):
        options.add_argument(arg)
    return webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)


def log_in(driver, user, password):
    """Fills in and sends the login form of the page shown."""
    driver.find_element(By.NAME, "user").send_keys(user)
    driver.find_element(By.NAME, "password").send_keys(password)
    driver.find_element(By.CSS_SELECTOR, "form button").click()
