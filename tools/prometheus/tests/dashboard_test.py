"""Every query of the shipped Grafana dashboard (tools/grafana/dashboard.json)
against a real Prometheus that scrapes the monitor on a site of two lines
(one pmbus-sim each) and evaluates the shipped rules. The template
variables are expanded as Grafana does: their own label_values queries
asked of Prometheus, the site's first value, each line alone and All
(".*"), $__rate_interval as Grafana's default (1m). Every query is accepted
and returns data: range queries over the last 30 s for graphs, instant ones
for stats and tables."""
import json
import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from prom import DASHBOARD, RULES, Prometheus, wait_for  # noqa: E402
from harness import Plant, build_dir  # noqa: E402

with open(DASHBOARD) as f:
    dash = json.load(f)
variables = {v["name"]: v for v in dash["templating"]["list"]}
targets = [(p["title"], t) for p in dash["panels"] if p["type"] != "row" for t in p["targets"]]
assert all(p["type"] == "row" or p["targets"] for p in dash["panels"]), "a panel without a query"


def label_values(prom, name, bound):
    definition = variables[name]["definition"]
    for k, v in bound.items():
        definition = definition.replace("$" + k, v)
    m = re.fullmatch(r"label_values\((.+),\s*(\w+)\)", definition)
    assert m, definition
    return prom.api(f"/api/v1/label/{m.group(2)}/values", {"match[]": [m.group(1)]}) or []


def expand(expr, bound):
    for k, v in bound.items():
        expr = expr.replace("$" + k, v)
    expr = expr.replace("$__rate_interval", "1m")
    assert "$" not in expr, expr
    return expr


def run(prom, bound):
    """(panel, query, why) of every query that fails or has no data."""
    bad = []
    now = time.time()
    for title, t in targets:
        expr = expand(t["expr"], bound)
        if t.get("instant"):
            data = prom.api("/api/v1/query", {"query": expr})
        else:
            data = prom.api("/api/v1/query_range", {"query": expr, "start": now - 30, "end": now, "step": 2})
        if not data or not data["result"]:
            bad.append((title, expr, "no data"))
    return bad


with Plant(build_dir(), "dashboard", lines=2) as plant:
    folder = plant.dir
    with Prometheus(folder, [f"127.0.0.1:{plant.port}"], [RULES]) as prom:
        sites = wait_for("the site label", lambda: label_values(prom, "site", {}), 30)
        site = sites[0]
        lines = label_values(prom, "line", {"site": site})
        assert sorted(lines) == sorted(str(i) for i in plant.ids), lines
        choices = [{"site": site, "line": line} for line in lines] + [{"site": site, "line": ".*"}]
        # Rates need a few scrapes: ask again until every query has data, bounded.
        bad = []
        end = time.monotonic() + 60
        while time.monotonic() < end:
            bad = [b for bound in choices for b in run(prom, bound)]
            if not bad:
                break
            time.sleep(2)
        assert not bad, "queries without data:\n" + "\n".join(f"  {t}: {e}: {w}" for t, e, w in bad)
        print(f"{len(targets)} queries of {len(set(t for t, _ in targets))} panels, each for "
              f"{len(choices)} choices of site/line ({', '.join(c['line'] for c in choices)}): all return data")
