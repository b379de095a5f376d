"""The page in a real browser: Chromium headless through Selenium loads the
page the monitor serves against pmbus-sim. The values shown equal
/api/round under the field table's labels and units (the rectifier card's
also /metrics), an alarm of the simulator's timeline appears without a reload
and clears again, the charts have points; then the same for each line of a
site of two. Screenshots are kept in BUILD/http-tests/browser*/."""
import json
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Plant, build_dir, need, wait_for  # noqa: E402

need("chromium")
need("chromedriver")
from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

build = build_dir()


def decimals(text):
    return len(text.split(".")[1]) if "." in text else 0


def label_of(table, type_number, sig):
    """A signal's label from /api/fields, channels counted from 1 ("channel_0_a" is "channel 1 A")."""
    t = table[str(type_number)]
    m = re.match(r"^channel_(\d+)_(.+)$", sig)
    record = t["item"] if m else t["head"]
    label = next(f["label"] for f in record["fields"] if f["name"] == (m[2] if m else sig))
    return f"channel {int(m[1]) + 1} {label}" if m else label


def metric(text, family, **labels):
    """The value of the /metrics sample of family with these labels."""
    for row in text.splitlines():
        if row.startswith(family + "{") and all(f'{k}="{v}"' in row for k, v in labels.items()):
            return float(row.rsplit(" ", 1)[1])
    raise AssertionError(f"no {family} {labels} in /metrics")


def check_values(driver, plant, line=None):
    """Every signal cell (of a line's section) against /api/round(?line=) of the same round,
    with the field table's label (counted from 1) and unit; the rectifier card's snapshot
    values (group voltage, module currents) against the round and /metrics under the same
    label and unit."""
    # Read in one script, so no round is drawn in between.
    shown = (f"document.querySelector('section[data-line=\"{line}\"]').dataset.round" if line else
             "document.getElementById('round').textContent.split(' ')[0]")
    scope = f'section[data-line="{line}"] ' if line else ""
    cells = ("Array.from(document.querySelectorAll('{}td[data-{}]'),"
             " c => [c.dataset.dev, c.dataset.{}, c.textContent, c.parentElement.cells[0].textContent])")
    read = f"return [{shown}, {cells.format(scope, 'sig', 'sig')}, {cells.format(scope, 'field', 'field')}]"
    def same_round():
        shown, texts, fields = driver.execute_script(read)
        r = plant.round(line)
        status, body, _ = plant.get("/metrics")  # of that round when the round did not change meanwhile
        return (shown == str(r["round"]) == str(plant.round(line)["round"]) and status == 200 and
                (texts, fields, r, body.decode()))
    texts, fields, r, metrics = wait_for("the page to show the round /api/round has", same_round, 20)
    table = json.loads(plant.get("/api/fields")[1])
    devices = {str(d["data_id"]): d for d in r["devices"]}
    # The rectifier card shows its snapshot, not its signals (exception texts by design).
    shown_signals = [d for d in r["devices"] if not (d["type_number"] == 5107 and d.get("fields"))]
    assert len(texts) == sum(len(d["signals"]) for d in shown_signals), "a signal is missing on the page"
    states = ["normal", "low", "high", "missing"]
    for dev, sig, text, label in texts:
        assert dev in devices, f"device {dev} shown, not in the round of line {line or r['bus']['data_id']}"
        assert label == label_of(table, devices[dev]["type_number"], sig), (dev, sig, label)
        want = devices[dev]["signals"][sig]
        if isinstance(want, str):
            assert text == want, (dev, sig, text, want)
        elif sig.endswith("_alert"):
            assert text == states[int(want)], (dev, sig, text, want)
        else:
            number = text.split(" ")[0]
            assert abs(float(number) - want) <= 0.5 * 10 ** -decimals(number) + 1e-9, (dev, sig, text, want)
            # Units from /api/fields: channel voltages and frequency, DC voltage and current.
            unit = {"a": "V", "b": "V", "c": "V", "f": "Hz", "v": "V", "i": "A"}.get(re.sub(r"^channel_\d+_", "", sig))
            assert unit is None or text.endswith(" " + unit), (dev, sig, text, unit)
    rc = [d for d in r["devices"] if d["type_number"] == 5107 and d.get("fields")]
    assert len(fields) == sum(1 + len(d["fields"]["modules"]) for d in rc), ("rectifier values missing", fields)
    for dev, path, text, label in fields:
        d = devices[dev]
        number, unit = text.split(" — ")[0].split(" ")
        if path == "group_value":
            want, family, labels = d["fields"]["group_value"], "pmbus_rectifier_group_voltage_volts", {}
            assert (label, unit) == ("group", "V"), (path, label, text)
        else:
            i = int(path.split(".")[1])
            want, family, labels = d["fields"]["modules"][i]["value"], "pmbus_rectifier_module_current_amperes", {
                "module": i + 1}
            assert (label, unit) == (f"module {i + 1}", "A"), (path, label, text)
        close = 0.5 * 10 ** -decimals(number) + 1e-9
        assert abs(float(number) - want) <= close, (path, text, want)
        if not line:  # /metrics of the same round (one line: it has no other)
            assert abs(metric(metrics, family, data_id=dev, **labels) - want) <= 1e-4, (path, want)
    return len(texts) + len(fields)


options = webdriver.ChromeOptions()
options.binary_location = need("chromium")
for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1280,1500"):
    options.add_argument(arg)
with Plant(build, "browser") as plant:
    driver = webdriver.Chrome(service=Service(need("chromedriver")), options=options)
    try:
        driver.set_page_load_timeout(30)
        driver.get(f"http://127.0.0.1:{plant.port}/")
        wait_for("the page's first round", lambda: driver.find_element(By.ID, "round").text[:1].isdigit(), 20)
        driver.execute_script("window.notReloaded = true;")
        n = check_values(driver, plant)
        print(f"{n} signal values equal /api/round")
        wait_for("the live stream", lambda: driver.find_element(By.ID, "conn").text == "live", 20)

        names = ("return Array.from(document.querySelectorAll('#alarms tbody tr td:nth-child(3)'),"
                 " c => c.textContent)")
        alarm = wait_for("an alarm row", lambda: driver.execute_script(names), 90)[0]
        assert alarm, "the alarm row has no name"
        print(f"alarm shown: {alarm}")
        # The AC input voltage's state word from /api/fields, its channel
        # counted from 1 as in the devices' alarm texts.
        def phase_loss():
            shown = " | ".join(driver.execute_script(
                "return Array.from(document.querySelectorAll('td.states'), c => c.textContent)"))
            m = re.search(r"channel (\d+) ([ABC]) state: phase loss", shown)
            ac = [d for d in plant.round()["devices"] if d["type_number"] == 5106 and d.get("fields")]
            return m and any(d["fields"]["channels"][int(m[1]) - 1][m[2].lower() + "_alert"] == 3 for d in ac) and m[0]
        print("states line shows:", wait_for("a phase loss in the states line", phase_loss, 30))
        wait_for("a begin in the recent events", lambda: driver.find_elements(By.CSS_SELECTOR, "#events li.begin"), 20)
        check_values(driver, plant)
        points = "return Chart.getChart('chart-{}').data.datasets[0].data.length"
        wait_for("points on both charts",
                 lambda: all(driver.execute_script(points.format(i)) >= 2 for i in (0, 1)), 30)
        driver.save_screenshot(os.path.join(plant.dir, "dashboard-alarm.png"))

        wait_for(f"'{alarm}' to clear", lambda: alarm not in driver.execute_script(names), 120)
        wait_for("an end in the recent events", lambda: driver.find_elements(By.CSS_SELECTOR, "#events li.end"), 20)
        assert driver.execute_script("return window.notReloaded === true"), "the page was reloaded"
        print(f"alarm cleared without a reload; chart points: "
              f"{driver.execute_script(points.format(0))}, {driver.execute_script(points.format(1))}")
        driver.save_screenshot(os.path.join(plant.dir, "dashboard.png"))
        driver.set_window_size(390, 1600)
        driver.save_screenshot(os.path.join(plant.dir, "dashboard-phone.png"))
    finally:
        driver.quit()


# Two lines: each section shows its own line's values (the simulators' DC
# voltages differ) under its heading; alarm rows and chart fields name their line.
with Plant(build, "browser-lines", lines=2) as plant:
    volts = {d["signals"]["v"] for i in plant.ids for d in plant.round(i)["devices"] if d["data_id"] == i + 2}
    assert len(volts) == 2, f"the lines' simulators serve the same DC voltage {volts}"
    driver = webdriver.Chrome(service=Service(need("chromedriver")), options=options)
    try:
        driver.set_page_load_timeout(30)
        driver.get(f"http://127.0.0.1:{plant.port}/")
        wait_for("both lines' sections", lambda: len(driver.find_elements(By.CSS_SELECTOR, "section.line")) == 2, 20)
        for line in plant.ids:
            n = check_values(driver, plant, line)
            heading = driver.find_element(By.ID, f"h-line-{line}").text
            assert heading.startswith(f"Line {line} on {plant.round(line)['port']} answering"), heading
            print(f"{heading}: {n} signal values equal /api/round?line={line}")
        rows = ("return Array.from(document.querySelectorAll('#alarms tbody tr'),"
                " r => [r.dataset.line, r.cells[0].textContent, r.cells[1].textContent])")
        alarms = wait_for("an alarm row of each line", lambda: (lambda got: {int(r[0]) for r in got} == set(
            plant.ids) and got)(driver.execute_script(rows)), 90)
        assert all(shown == line and int(dev) // 1000 == int(line) // 1000 for line, shown, dev in alarms), alarms
        options = driver.execute_script("return Array.from(document.querySelectorAll('#pick-0 option'), o => o.text)")
        assert all(any(o.startswith(f"line {i} · ") for o in options) for i in plant.ids), options
        driver.save_screenshot(os.path.join(plant.dir, "dashboard-lines.png"))
    finally:
        driver.quit()
print("browser test passed; screenshots in", os.path.join(build, "http-tests", "browser"))
