"""The alert path with the real parts: pmbus-sim and the monitor, a
Prometheus scraping it with the shipped rules, a real Alertmanager, and a
webhook receiver run here, all on free loopback ports. The simulator's phase
loss on AC input 1 makes its alarm's alert reach the webhook with the
alarm's text (and nothing for input 2, which shares the rule key); its end
resolves it; the simulator killed mid-run makes the line-down alert fire,
not before its "for" (5 s here instead of the shipped minute: the test's
copy of the rules changes only that)."""
import http.server
import json
import os
import subprocess
import sys
import threading
import time

import yaml

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from prom import RULES, Prometheus, free_port, need, wait_for  # noqa: E402
from harness import Plant, build_dir  # noqa: E402

LINE_DOWN_FOR = 5
ALERT_OF_LEVEL = {1: "PmbusAlarmCritical", 2: "PmbusAlarmMajor", 3: "PmbusAlarmMinor"}

received = []  # (monotonic time, alert) of every alert of every notification
lock = threading.Lock()


class Hook(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        with lock:
            received.extend((time.monotonic(), a) for a in body["alerts"])
        self.send_response(200)
        self.end_headers()

    def log_message(self, *args):
        pass


def find(alertname, status, since=0.0, **labels):
    with lock:
        return [(t, a) for t, a in received if t >= since and a["labels"]["alertname"] == alertname and
                a["status"] == status and all(a["labels"].get(k) == v for k, v in labels.items())]


with open(RULES) as f:
    rules = yaml.safe_load(f)
down = [r for g in rules["groups"] for r in g["rules"] if r.get("alert") == "PmbusLineDown"]
assert len(down) == 1 and down[0]["for"] == "1m", down

with Plant(build_dir(), "alert_path") as plant:
    folder = plant.dir
    down[0]["for"] = f"{LINE_DOWN_FOR}s"
    test_rules = os.path.join(folder, "rules.yml")
    with open(test_rules, "w") as f:
        yaml.safe_dump(rules, f, allow_unicode=True)

    hook = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Hook)
    threading.Thread(target=hook.serve_forever, daemon=True).start()
    am_port = free_port()
    with open(os.path.join(folder, "alertmanager.yml"), "w") as f:
        yaml.safe_dump({
            "route": {"receiver": "hook", "group_by": ["alertname", "line", "data_id", "rule_index"],
                      "group_wait": "1s", "group_interval": "1s", "repeat_interval": "1h"},
            "receivers": [{"name": "hook", "webhook_configs": [
                {"url": f"http://127.0.0.1:{hook.server_address[1]}/", "send_resolved": True}]}]}, f)
    am = subprocess.Popen(
        [need("prometheus-alertmanager"), f"--config.file={os.path.join(folder, 'alertmanager.yml')}",
         f"--storage.path={os.path.join(folder, 'am')}", f"--web.listen-address=127.0.0.1:{am_port}",
         "--cluster.listen-address="],
        stdout=subprocess.DEVNULL, stderr=open(os.path.join(folder, "alertmanager.log"), "w"))
    try:
        with Prometheus(folder, [f"127.0.0.1:{plant.port}"], [test_rules], f"127.0.0.1:{am_port}"):
            # The phase loss of input 1 as the monitor reports it; its twin on input 2.
            def phase_loss():
                return [a for a in plant.round()["active_alarms"] if a["key"] == "AC_8"]
            loss = wait_for("the simulator's phase loss", phase_loss, 60)[0]
            twins = [r for r in plant.round()["rules"]
                     if r["key"] == loss["key"] and r["data_id"] == loss["data_id"] and r["seq"] != loss["seq"]]
            assert twins and not any(t["active"] for t in twins), twins
            name, idx = ALERT_OF_LEVEL[loss["level"]], str(loss["seq"])
            fired = wait_for("the phase loss alert at the webhook",
                             lambda: find(name, "firing", text=loss["text"], rule_index=idx), 30)
            alert = fired[0][1]
            assert alert["labels"]["data_id"] == str(loss["data_id"]) and alert["labels"]["name"] == loss["name"], alert
            assert loss["text"] in alert["annotations"]["summary"], alert["annotations"]
            print(f"fired: {name} {alert['annotations']['summary']}")

            resolved = wait_for("its end at the webhook", lambda: find(name, "resolved", text=loss["text"]), 60)
            print(f"resolved {resolved[0][0] - fired[0][0]:.1f} s later")
            for twin in twins:
                assert not find(name, "firing", rule_index=str(twin["seq"]), data_id=str(twin["data_id"])), twin

            # The line killed: the power system's loss, and the alert once it lasted the "for".
            assert not find("PmbusLineDown", "firing")
            plant.sims[0].kill()
            killed = time.monotonic()
            line = str(plant.ids[0])
            got = wait_for("the line-down alert", lambda: find("PmbusLineDown", "firing", line=line), 60)
            after = got[0][0] - killed
            assert after >= LINE_DOWN_FOR, f"line down alert {after:.1f} s after the kill, before its for"
            print(f"line down: alert at the webhook {after:.1f} s after the simulator was killed "
                  f"(for {LINE_DOWN_FOR} s)")
    finally:
        am.terminate()
        am.wait(20)
        hook.shutdown()
