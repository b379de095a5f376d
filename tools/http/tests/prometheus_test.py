"""/metrics with the real Prometheus tools: promtool finds no problem in
it, and a Prometheus server started here on a free loopback port (scrape
interval 1 s, its own storage) scrapes the monitor on a site of two lines,
one pmbus-sim each; each line's series carry its line label, and a PromQL
query through its HTTP API returns the simulator's DC voltage."""
import json
import os
import subprocess
import sys
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Plant, build_dir, free_port, need, wait_for  # noqa: E402

promtool = need("promtool")
prometheus = need("prometheus")
build = build_dir()
QUERY = 'pmbus_dc_output_voltage_volts{data_id="1002"}'

with Plant(build, "prometheus", lines=2) as plant:
    plant.wait_rounds(4)  # alarms have begun, so the alarm rules have a state
    status, text, _ = plant.get("/metrics")
    assert status == 200
    check = subprocess.run([promtool, "check", "metrics"], input=text, capture_output=True)
    assert check.returncode == 0 and not check.stdout.strip() and not check.stderr.strip(), \
        f"promtool: {check.stdout.decode()} {check.stderr.decode()}"
    for family in ("pmbus_dc_output_voltage_volts", "pmbus_signal_value", "pmbus_alarm_active",
                   "pmbus_device_data_age_seconds", "pmbus_line_requests_total", "pmbus_power_system_up",
                   "pmbus_round_duration_seconds", "pmbus_ac_input_voltage_volts"):
        assert f"\n# TYPE {family} " in "\n" + text.decode(), f"{family} missing"
    for line in plant.ids:  # each line's series apart under its line label
        for series in (f'pmbus_power_system_up{{line="{line}"}} 1', f'pmbus_line_healthy{{line="{line}"}} 1',
                       f'pmbus_dc_output_voltage_volts{{line="{line}",data_id="{line + 2}",'):
            assert series in text.decode(), f"{series} missing"
    print(f"promtool check metrics: no problem in {len(text)} bytes")

    port = free_port()
    config = os.path.join(plant.dir, "prometheus.yml")
    with open(config, "w") as f:
        f.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                f"scrape_configs:\n  - job_name: pmbus\n    static_configs:\n"
                f"      - targets: ['127.0.0.1:{plant.port}']\n")
    server = subprocess.Popen(
        [prometheus, f"--config.file={config}", f"--storage.tsdb.path={os.path.join(plant.dir, 'tsdb')}",
         f"--web.listen-address=127.0.0.1:{port}"],
        stdout=subprocess.DEVNULL, stderr=open(os.path.join(plant.dir, "prometheus.log"), "w"))
    try:
        def query():
            url = f"http://127.0.0.1:{port}/api/v1/query?" + urllib.parse.urlencode({"query": QUERY})
            try:
                with urllib.request.urlopen(url, timeout=5) as r:
                    result = json.load(r)["data"]["result"]
            except OSError:
                return None
            return result and result[0]
        sample = wait_for("Prometheus to have scraped the DC voltage", query, 60)
    finally:
        server.terminate()
        server.wait(20)
    value = float(sample["value"][1])
    assert sample["metric"]["device_type"] == "tvr27pk-dc" and sample["metric"]["job"] == "pmbus", sample
    with open(plant.rounds_file) as f:
        seen = [d["fields"]["v"] for line in f for d in json.loads(line)["devices"]
                if d["data_id"] == 1002 and "fields" in d]
    assert any(abs(value - v) < 1e-6 for v in seen), f"Prometheus has {value}, the rounds had {seen}"
    print(f"PromQL {QUERY} = {value} V, a voltage the simulator served")
