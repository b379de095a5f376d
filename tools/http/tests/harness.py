"""The monitor with its HTTP service against pmbus-sim on a pseudo-terminal
(one per line for a site of several), for the HTTP, Prometheus and browser tests. Everything on loopback, every
wait bounded."""
import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

# A cross build's programs run through its emulator (PMB_TEST_LAUNCHER, words
# separated by '|').
LAUNCHER = [w for w in os.environ.get("PMB_TEST_LAUNCHER", "").split("|") if w]
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


_handed_out = set()


def free_port():
    """A loopback port nothing listens on just now, never one this test was
    given before (the kernel may hand out a port just closed again)."""
    while True:
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if port not in _handed_out:
            _handed_out.add(port)
            return port


def need(tool):
    path = shutil.which(tool)
    if not path:
        sys.exit(f"FAIL: {tool} is not installed (./x installs it)")
    return path


def wait_for(what, check, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        got = check()
        if got:
            return got
        time.sleep(0.2)
    raise AssertionError(f"timed out after {seconds} s waiting for {what}")


class Plant:
    """pmbus-sim and the monitor with --http on a free loopback port; with
    lines > 1 one pmbus-sim per line. self.ids: the lines' bus data ids;
    site: more members of the site file ("snmp")."""

    def __init__(self, build, name, http_site=None, token=None, lines=1, site=None):
        self.dir = os.path.join(build, "http-tests", name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.port = free_port()
        self.token = token
        self.sims, ttys = [], []
        with open(os.path.join(ROOT, "tools/monitor/site.example.json")) as f:
            example = json.load(f)
        self.ids = [example["data_id"] + 1000 * i for i in range(lines)]
        lines_site = {"lines": []}
        for i in range(lines):
            # Line i: the example's data ids + 1000 * i, its simulator's DC voltage 5 V * i lower.
            sim = LAUNCHER + [os.path.join(build, "tools/sim/pmbus-sim")]
            if i:
                scenario = json.load(open(os.path.join(ROOT, "tools/sim/scenarios/default.json")))
                scenario["dc"][0]["v"] -= 5.0 * i
                sim += ["--scenario", os.path.join(self.dir, f"scenario{i}.json")]
                json.dump(scenario, open(sim[-1], "w"))
            self.sims.append(subprocess.Popen(sim, stdout=subprocess.PIPE, text=True,
                                              stderr=open(os.path.join(self.dir, f"sim{i}.log"), "w")))
            ttys.append(self.sims[-1].stdout.readline().strip())
            assert ttys[-1].startswith("/dev/"), f"pmbus-sim printed {ttys[-1]!r}"
            line = {k: json.loads(json.dumps(v)) for k, v in example.items() if k != "database"}
            line.update(port=ttys[-1], data_id=line["data_id"] + 1000 * i)
            for child in line["acSetting"] + line["dcSetting"]:
                child["data_id"] += 1000 * i
            lines_site["lines"].append(line)
        port_args = ["--port", ttys[0]]
        extra = site or {}
        site = json.loads(json.dumps(example))
        if lines > 1:
            site, port_args = lines_site, []
        site.update(extra)
        site["http"] = dict(http_site or {})
        if token:
            path = os.path.join(self.dir, "token")
            with open(path, "w") as f:
                f.write(token + "\n")
            site["http"]["token_file"] = path
        self.log = os.path.join(self.dir, "monitor.log")
        self.db = os.path.join(self.dir, "history.db")
        with open(os.path.join(self.dir, "site.json"), "w") as f:
            json.dump(site, f)
        self.rounds_file = os.path.join(self.dir, "rounds.jsonl")
        self.monitor = subprocess.Popen(
            LAUNCHER + [os.path.join(build, "tools/monitor/monitor"), "--config", os.path.join(self.dir, "site.json"),
             *port_args, "--plugin", os.path.join(build, "plugin/libtvr27pk.so"), "--database", self.db,
             "--log", self.log, "--json", "--duration", "600", "--http", f"127.0.0.1:{self.port}"],
            stdout=open(self.rounds_file, "w"))
        for i in self.ids:
            wait_for(f"line {i}'s first round", lambda: self.get(f"/api/round?line={i}")[0] == 200, 30)

    def headers(self, extra=None):
        h = {"Authorization": f"Bearer {self.token}"} if self.token else {}
        h.update(extra or {})
        return h

    def get(self, path, method="GET", headers=None, timeout=10):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            c.request(method, path, headers=self.headers(headers))
            r = c.getresponse()
            return r.status, r.read(), r
        except OSError:
            return 0, b"", None
        finally:
            c.close()

    def round(self, line=None):
        status, body, _ = self.get("/api/round" + (f"?line={line}" if line else ""))
        assert status == 200, status
        return json.loads(body)

    def wait_rounds(self, n):
        start = self.round()["round"]
        return wait_for(f"{n} more rounds", lambda: self.round()["round"] >= start + n and self.round(), 10 + 5 * n)

    def rounds(self):
        with open(self.rounds_file) as f:
            return [json.loads(line)["round"] for line in f if line.strip()]

    def log_text(self):
        with open(self.log, errors="replace") as f:
            return f.read()

    def stop(self):
        for p in [self.monitor] + self.sims:
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(20)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        assert self.monitor.returncode == 0, f"monitor ended with status {self.monitor.returncode}"

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def build_dir():
    if len(sys.argv) < 2:
        sys.exit("usage: TEST BUILD_DIR")
    return os.path.abspath(sys.argv[1])


def temp_dir(prefix):
    return tempfile.mkdtemp(prefix=prefix)
