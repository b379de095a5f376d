"""The HTTP service's rules against the monitor on pmbus-sim: methods, bad
parameters, the token, unknown paths, the head limit, the connection limit,
a client sending one byte a second and a client that never reads its event
stream. Rounds go on meanwhile and none is lost."""
import json
import os
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Plant, build_dir, wait_for  # noqa: E402

TOKEN = "s3cret-token"
JSON = "application/json; charset=utf-8"
H = "/api/history?data_id=1002&field=v"

# (method, path, headers, status, content type or None)
CASES = [
    ("GET", "/api/round", {}, 200, JSON),
    ("HEAD", "/api/round", {}, 200, JSON),
    ("GET", "/api/round", {"Authorization": "Bearer wrong"}, 401, JSON),
    ("GET", "/api/round", {"Authorization": ""}, 401, JSON),
    ("GET", "/metrics", {"Authorization": "Basic " + TOKEN}, 401, JSON),
    ("POST", "/api/round", {}, 405, JSON),
    ("PUT", "/metrics", {}, 405, JSON),
    ("DELETE", "/", {}, 405, JSON),
    ("OPTIONS", "/healthz", {}, 405, JSON),
    ("GET", "/api/nothing", {}, 404, JSON),
    ("GET", "/nothing.html", {}, 404, JSON),
    ("GET", "/../CMakeLists.txt", {}, 404, JSON),
    ("GET", "/.hidden.js", {}, 404, JSON),
    ("GET", "/api/round?x=1", {}, 400, JSON),
    ("GET", "/api/round?line=1000", {}, 200, JSON),
    ("GET", "/api/round?line=999", {}, 404, JSON),
    ("GET", "/api/round?line=abc", {}, 400, JSON),
    ("GET", "/api/round?line=", {}, 400, JSON),
    ("GET", "/api/lines", {}, 200, JSON),
    ("GET", "/api/lines?line=1000", {}, 400, JSON),
    ("GET", "/api/fields", {}, 200, JSON),
    ("HEAD", "/api/fields", {}, 200, JSON),
    ("GET", "/api/fields", {"Authorization": "Bearer wrong"}, 401, JSON),
    ("GET", "/api/fields?type=5106", {}, 400, JSON),
    ("GET", "/api/history?field=v", {}, 400, JSON),
    ("GET", "/api/history?data_id=abc&field=v", {}, 400, JSON),
    ("GET", "/api/history?data_id=1002", {}, 400, JSON),
    ("GET", "/api/history?data_id=1002&field=v;drop", {}, 400, JSON),
    ("GET", "/api/history?data_id=1002&field=nosuchfield", {}, 400, JSON),
    ("GET", H + "&limit=0", {}, 400, JSON),
    ("GET", H + "&limit=-3", {}, 400, JSON),
    ("GET", H + "&from=yesterday", {}, 400, JSON),
    ("GET", H + "&to=2026-13", {}, 400, JSON),
    ("GET", H + "&from=2026-13-01", {}, 400, JSON),
    ("GET", H + "&to=2026-02-31T10:00", {}, 400, JSON),
    ("GET", H + "&from=2026-01-01T99:00", {}, 400, JSON),
    ("GET", "/api/alarms?from=2026-12-08T23:60:00", {}, 400, JSON),
    ("GET", H + "&color=red", {}, 400, JSON),
    ("GET", H + "&limit=1&limit=2", {}, 400, JSON),
    ("GET", H + "&from=%zz", {}, 400, JSON),
    ("GET", "/api/alarms?data_id=1", {}, 400, JSON),
    ("GET", "/api/events", {"Last-Event-ID": "abc"}, 400, JSON),
    ("GET", H + "&limit=3&from=2000-01-01T00:00", {}, 200, JSON),
    ("GET", "/api/alarms?limit=5&to=2999-01-01", {}, 200, JSON),
    ("GET", "/metrics", {}, 200, "text/plain; version=0.0.4; charset=utf-8"),
    ("GET", "/healthz", {}, 200, "text/plain; charset=utf-8"),
    ("GET", "/", {}, 200, "text/html; charset=utf-8"),
    ("GET", "/app.js", {}, 200, "text/javascript; charset=utf-8"),
    ("GET", "/js/chart.js", {}, 200, "text/javascript; charset=utf-8"),
    ("GET", "/api/round", {"X-Big": "x" * 9000}, 431, JSON),
]


def request_cases(plant):
    for method, path, headers, status, ctype in CASES:
        got, body, r = plant.get(path, method, headers)
        where = f"{method} {path} {list(headers)}"
        assert got == status, f"{where}: {got}, want {status}: {body[:200]!r}"
        assert r.getheader("Content-Type") == ctype, f"{where}: Content-Type {r.getheader('Content-Type')}"
        assert r.getheader("Cache-Control") == "no-store", where
        if status == 405:
            assert r.getheader("Allow") == "GET, HEAD", where
        if status == 401:
            assert r.getheader("WWW-Authenticate") == "Bearer", where
        if method == "HEAD":
            assert body == b"" and int(r.getheader("Content-Length")) > 0, where
        elif ctype == JSON:
            doc = json.loads(body)
            assert ("error" in doc) == (status != 200), f"{where}: {body[:200]!r}"
    points = json.loads(plant.get(H + "&limit=3")[1])["points"]
    assert 1 <= len(points) <= 3, points
    print(f"{len(CASES)} request cases pass")


def connect(plant, rcvbuf=None):
    s = socket.socket()
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.connect(("127.0.0.1", plant.port))
    return s


def closed_by_server(s, seconds):
    s.settimeout(seconds)
    try:
        return s.recv(1) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def auth():
    return f"Authorization: Bearer {TOKEN}\r\n"


def connection_limit(plant):
    held = [connect(plant) for _ in range(64)]
    time.sleep(0.5)
    extra = [connect(plant) for _ in range(3)]
    for s in extra:
        assert closed_by_server(s, 2), "a connection over the limit was kept"
    # The 64 are still served: the extra ones were refused for the limit, not a timeout.
    held[0].sendall(f"GET /healthz HTTP/1.1\r\nHost: x\r\n{auth()}\r\n".encode())
    held[0].settimeout(5)
    assert held[0].recv(100).startswith(b"HTTP/1.1 200"), "a held connection got no answer"
    for s in held + extra:
        s.close()
    log = plant.log_text()
    assert log.count("connections open, refusing more") == 1, "the refusals are not logged once"
    assert wait_for("a connection after the burst", lambda: plant.get("/healthz")[0] == 200, 10)
    print("connection limit: 3 over 64 closed at once, logged once")


def slow_client(plant, timeout_s):
    s = connect(plant)
    head = f"GET /api/round HTTP/1.1\r\nHost: x\r\n{auth()}\r\n".encode()
    sent = 0
    for byte in head[: timeout_s + 8]:
        try:
            s.send(bytes([byte]))
        except OSError:
            break
        sent += 1
        if closed_by_server(s, 1):
            break
    else:
        raise AssertionError("a client sending one byte a second was kept")
    assert sent < len(head)
    s.close()
    print(f"slow client closed after {sent} bytes")


def never_reading_stream(plant):
    s = connect(plant, rcvbuf=4096)
    s.sendall(f"GET /api/events HTTP/1.1\r\nHost: x\r\nLast-Event-ID: 0\r\n{auth()}\r\n".encode())
    wait_for("the stalled stream to be dropped",
             lambda: "does not read its event stream: dropped" in plant.log_text(), 60)
    got = 0
    s.settimeout(5)
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        got += len(chunk)
    s.close()
    print(f"a stream never read was dropped after {got} bytes reached the client")


build = build_dir()
with Plant(build, "rules", http_site={"timeout_s": 4}, token=TOKEN) as plant:
    request_cases(plant)
    plant.wait_rounds(6)  # enough rounds that their replay does not fit the socket buffers
    start = plant.round()["round"]
    connection_limit(plant)
    slow_client(plant, 4)
    never_reading_stream(plant)
    end = plant.wait_rounds(2)["round"]
rounds = plant.rounds()
assert rounds == list(range(1, len(rounds) + 1)), f"rounds lost: {rounds}"
assert end > start + 2, (start, end)
print(f"rounds {start}..{end} went on during the connection tests, none lost ({len(rounds)} in all)")
