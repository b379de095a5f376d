"""The monitor as an AgentX subagent of a real snmpd, against pmbus-sim: the
master is absent when the monitor starts; the entity and sensor tables
walked through snmpd equal the monitor's --json rounds (v2c and the v3
user alike; a wrong community or v3 password gets nothing); the phase loss
of the built-in scenario reaches snmptrapd as begin and end notifications
and the alarm table holds its row in between; snmpd stopped and started
again while the monitor polls: the subagent is back within seconds and no
round is lost."""
import json
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from snmp_parts import (ALARMS, ARC, AUTH, ENT_PHYSICAL, ENT_SENSOR, LINES, PRIV, Snmp,  # noqa: E402
                        table, wait_for)
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../http/tests"))
from harness import Plant, build_dir  # noqa: E402

# The numeric quantities of each device, in the order of its record: head
# fields, then per list item its fields (an array field gives one sensor per
# element); with their EntitySensorDataType.
QUANTITIES = {
    5106: (["ia", "ib", "ic"], "channels", ["a", "b", "c", "f"]),
    5107: (["p40_46", "p42_46_fixed", "group_value"], "modules", ["value", "p41_41"]),
    5108: (["v", "i", "m_value", "n_value", "user_p"], None, []),
}
TYPES = {  # (type number, field) -> type; others other(1)
    (5106, "ia"): 5, (5106, "ib"): 5, (5106, "ic"): 5, (5106, "a"): 3, (5106, "b"): 3, (5106, "c"): 3,
    (5106, "f"): 7, (5107, "group_value"): 4, (5107, "value"): 5, (5108, "v"): 4, (5108, "i"): 5, (5108, "m_value"): 5, (5108, "n_value"): 5,
}
SINGLE = {"ia", "ib", "ic", "a", "b", "c", "f", "v", "i"}  # one value each, a sensor even when missing
# Names a person reads, for a few rows.
NAMES = ["power system 1000 on ", "AC 1001", "AC 1001 input 1 line/phase voltage AB/A",
         "AC 1001 input 2 input frequency", "DC 1002 output voltage", "DC 1003 battery currents 2",
         "rectifiers 1000 module 3", "rectifiers 1000 module 3 module output current"]


def expected(device):
    """[(field, value)] of a --json round's device, in sensor order; items of
    "modules" under a module row of their own (second list)."""
    head, list_name, item_fields = QUANTITIES[device["type_number"]]
    fields = device.get("fields", {})

    def flat(record, names):
        out = []
        for n in names:
            v = record.get(n)
            if isinstance(v, list):
                out += [(n, x) for x in v]
            elif v is not None or n in SINGLE:
                out.append((n, v))
        return out
    own = flat(fields, head)
    items = [flat(item, item_fields) for item in fields.get(list_name, [])] if list_name else []
    if list_name == "channels":
        return own + [q for i in items for q in i], []
    return own, items


def children(ent, parent):
    got = [i for i, p in ent[4].items() if p == parent[0]]
    return sorted(((i,) for i in {g[0] for g in got}), key=lambda i: ent[6][i])


def check_tables(plant, snmp, walks):
    """Each sensor row under its device's row, in order, with the value of
    one of the rounds printed while the walk ran, within its precision."""
    r0 = plant.round()["round"]
    ent, sen = table(snmp.walk(ENT_PHYSICAL), ENT_PHYSICAL), table(snmp.walk(ENT_SENSOR), ENT_SENSOR)
    r1 = plant.wait_rounds(1)["round"]
    walks.append((ent, sen))
    rounds = [json.loads(line) for line in open(plant.rounds_file) if line.strip()]
    rounds = [r for r in rounds if r0 <= r["round"] <= r1]
    assert rounds, (r0, r1)
    chassis = [i for i, c in ent[5].items() if c == 3]
    assert len(chassis) == 1 and ent[4][chassis[0]] == 0, ent[5]
    names = set(v.decode() for v in ent[7].values())
    for n in NAMES:
        assert any(x.startswith(n) for x in names), f"no row named {n!r}: {sorted(names)[:20]}"
    checked = 0
    devices = children(ent, chassis[0])
    assert [ent[5][d] for d in devices] == [9] * len(rounds[0]["devices"]), devices
    for k, dev in enumerate(devices):
        want_own, want_items = expected(rounds[0]["devices"][k])
        kids = children(ent, dev)
        sensors = [i for i in kids if ent[5][i] == 8]
        modules = [i for i in kids if ent[5][i] == 9]
        assert len(sensors) == len(want_own) and len(modules) == len(want_items), (dev, len(sensors), len(want_own))
        pairs = [(s, j, None) for j, s in enumerate(sensors)]
        for m, (mod, items) in enumerate(zip(modules, want_items)):
            ms = [i for i in children(ent, mod) if ent[5][i] == 8]
            assert len(ms) == len(items), (mod, ms, items)
            pairs += [(s, j, m) for j, s in enumerate(ms)]
        for s, j, m in pairs:
            tn = rounds[0]["devices"][k]["type_number"]
            field = (want_own if m is None else want_items[m])[j][0]
            assert sen[1][s] == TYPES.get((tn, field), 1), (ent[7][s], sen[1][s])
            assert sen[2][s] == 9 and sen[8][s] > 0, (ent[7][s], sen[2][s], sen[8][s])
            p = sen[3][s]
            ok = False
            for r in rounds:
                own, items = expected(r["devices"][k])
                v = (own if m is None else items[m])[j][1]
                if isinstance(v, (int, float)):
                    ok = ok or (sen[5][s] == 1 and abs(sen[4][s] / 10 ** p - v) <= 0.5 * 10 ** -p + 1e-6)
                else:
                    ok = ok or sen[5][s] == 2
            assert ok, f"{ent[7][s]}: {sen[4][s]} (precision {p}, status {sen[5][s]}) in no round {r0}..{r1}"
            checked += 1
    assert checked == len(sen[1]), (checked, len(sen[1]))
    print(f"{len(ent[7])} entity rows, {checked} sensors equal rounds {r0}..{r1} of --json")


def check_access(snmp, walks):
    ent, sen = walks[-1]
    v3 = table(snmp.walk(ENT_PHYSICAL, v3=(AUTH, PRIV)), ENT_PHYSICAL)
    assert v3[7] == ent[7] and v3[4] == ent[4], "the v3 user reads other rows"
    v3s = table(snmp.walk(ENT_SENSOR, v3=(AUTH, PRIV)), ENT_SENSOR)
    assert v3s[1] == sen[1] and v3s[3] == sen[3], "the v3 user reads other sensors"
    bulk = table(snmp.walk(ENT_PHYSICAL, bulk=25), ENT_PHYSICAL)
    assert bulk[7] == ent[7] and bulk[4] == ent[4], "a GETBULK walk reads other rows"
    last = max(ent[7])
    one = snmp.walk(f"{ENT_PHYSICAL}.1.7.{last[0]}")  # a walk of one instance ends in a GET of it
    assert list(one.values()) == [ent[7][last]], (last, one)
    for what, got in [("wrong community", snmp.walk(ENT_PHYSICAL, community="tvr-wrong", timeout=1)),
                      ("wrong v3 auth password", snmp.walk(ENT_PHYSICAL, v3=("wrong-pass-1", PRIV), timeout=1)),
                      ("wrong v3 priv password", snmp.walk(ENT_SENSOR, v3=(AUTH, "wrong-pass-2"), timeout=1))]:
        assert got == {}, f"{what} read {len(got)} objects"
    print("v3 authPriv user and a GETBULK walk read the same rows; wrong community and wrong v3 passwords get nothing")


def alarm_rows(snmp):
    return table(snmp.walk(ALARMS), ALARMS)


def check_phase_loss(plant, snmp):
    rows = wait_for("the phase loss in the alarm table",
                    lambda: (lambda t: t if t.get(3) else None)(alarm_rows(snmp)), 40)
    active = [a for a in plant.round()["active_alarms"] if a["data_id"] == 1001]
    assert active, plant.round()["active_alarms"]
    idx = [i for i in rows[3] if i[0] == 1001]
    texts = {rows[8][i].decode() for i in idx}
    a = active[0]
    assert a["text"] in texts, (a, texts)
    i = [i for i in idx if rows[8][i].decode() == a["text"]][0]
    assert (rows[4][i].decode(), rows[5][i].decode(), rows[6][i], rows[7][i].decode()) == \
        (a["key"], a["id"], a["level"], a["name"]), (a, {c: rows[c][i] for c in rows})

    def trap(which):
        for t in snmp.traps():
            if t.get("1.3.6.1.6.3.1.1.4.1.0") == f".{ARC}.0.{which}":
                fields = {int(k.split(".")[-3]): v for k, v in t.items() if k.startswith(ALARMS + ".1.")}
                if fields.get(8, b"").decode() == a["text"]:
                    return fields
        return None
    begin = wait_for("the begin notification", lambda: trap(1), 10)
    assert (begin[3], begin[4].decode(), begin[5].decode(), begin[6], begin[7].decode(), begin[10]) == \
        (1001, a["key"], a["id"], a["level"], a["name"], 1000), begin
    end = wait_for("the end notification", lambda: trap(2), 40)
    assert end[9] == begin[9], (begin, end)
    wait_for("the row to leave the alarm table",
             lambda: all(rows_now[8].get(i) != a["text"].encode()
                         for rows_now in [alarm_rows(snmp)] for i in rows_now.get(8, {})), 10)
    print(f"phase loss: begin and end notifications with the alarm's fields ({a['text']}), row in between")


def check_restart(plant, snmp):
    before = plant.round()["round"]
    snmp.stop_snmpd()
    plant.wait_rounds(2)
    t0 = time.monotonic()
    snmp.start()
    wait_for("the subagent back", lambda: table(snmp.walk(LINES), LINES).get(2), 15)
    back = time.monotonic() - t0
    lines = table(snmp.walk(LINES), LINES)
    assert lines[3] == {(1,): 1000} and lines[4] == {(1,): 1} and lines[5][(1,)] > before, lines
    print(f"snmpd restarted: the subagent back after {back:.1f} s; line row {lines}")
    return back


build = build_dir()
work = os.path.join(build, "snmp-tests")
shutil.rmtree(work, ignore_errors=True)
snmp = Snmp(work)
try:
    with Plant(build, "snmp", site={"snmp": {"agentx": snmp.agentx}}) as plant:
        snmp.start()
        wait_for("the subagent's sensor rows", lambda: snmp.walk(ENT_SENSOR), 15)
        walks = []
        check_phase_loss(plant, snmp)
        check_tables(plant, snmp, walks)
        check_access(snmp, walks)
        check_restart(plant, snmp)
        check_tables(plant, snmp, walks)
        plant.wait_rounds(1)
    rounds = plant.rounds()
    assert rounds == list(range(1, len(rounds) + 1)), f"rounds lost: {rounds}"
    log = plant.log_text()
    for text, n in [("snmp: no AgentX master at", 1), ("went away", 1), ("snmp: connected to the AgentX master", 2)]:
        assert log.count(text) == n, f"{text!r} logged {log.count(text)} times, want {n}:\n{log[-3000:]}"
    print(f"{len(rounds)} rounds, none lost; one log line per outage")
finally:
    snmp.stop()
