"""A Prometheus server for the tests of the shipped rules and dashboard:
started on a free loopback port with its own storage, scraping the given
targets every second with a "site" label, evaluating the given rule files
every second, optionally sending alerts to an Alertmanager; stopped by the
test. Queries through its HTTP API."""
import json
import os
import subprocess
import sys
import urllib.error
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(HERE)))
sys.path.insert(0, os.path.join(SOURCE, "tools/http/tests"))
from harness import free_port, need, wait_for  # noqa: E402,F401

RULES = os.path.join(SOURCE, "tools/prometheus/rules.yml")
DASHBOARD = os.path.join(SOURCE, "tools/grafana/dashboard.json")
SITE = "test-site"


class Prometheus:
    def __init__(self, folder, targets, rule_files, alertmanager=None):
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        config = os.path.join(folder, "prometheus.yml")
        text = ("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                "rule_files:\n" + "".join(f"  - {json.dumps(r)}\n" for r in rule_files) +
                "scrape_configs:\n  - job_name: pmbus\n    static_configs:\n"
                f"      - targets: {json.dumps(targets)}\n        labels: {{site: {SITE}}}\n")
        if alertmanager:
            text += ("alerting:\n  alertmanagers:\n    - static_configs:\n"
                     f"        - targets: ['{alertmanager}']\n")
        with open(config, "w") as f:
            f.write(text)
        self.proc = subprocess.Popen(
            [need("prometheus"), f"--config.file={config}", f"--storage.tsdb.path={os.path.join(folder, 'tsdb')}",
             f"--web.listen-address=127.0.0.1:{self.port}", "--rules.alert.resend-delay=1s"],
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(folder, "prometheus.log"), "w"))
        wait_for("Prometheus to answer", lambda: self.api("/-/ready", raw=True), 30)

    def api(self, path, params=None, raw=False):
        """The answer's "data" (None while it cannot be reached); raises on a
        query Prometheus refuses."""
        url = self.url + path + ("?" + urllib.parse.urlencode(params, doseq=True) if params else "")
        try:
            with urllib.request.urlopen(url, timeout=10) as r:
                body = r.read()
        except urllib.error.HTTPError as e:
            if raw:  # not ready yet
                return None
            raise AssertionError(f"{path} {params}: {e.code} {e.read().decode(errors='replace')}")
        except OSError:
            return None
        if raw:
            return body or b"ok"
        answer = json.loads(body)
        assert answer["status"] == "success", answer
        return answer["data"]

    def query(self, expr):
        data = self.api("/api/v1/query", {"query": expr})
        return data["result"] if data else None

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
