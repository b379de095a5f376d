"""A real snmpd (AgentX master on a socket in a temporary folder, UDP on a
free loopback port, a v2c community and a v3 authPriv user) sending its
notifications to a real snmptrapd, and snmpwalk of numeric OIDs: for the
SNMP test and bench/snmp-run. Every wait bounded."""
import os
import re
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../http/tests"))
from harness import free_port, wait_for  # noqa: E402,F401

COMMUNITY = "tvr-public"
USER, AUTH, PRIV = "tvrops", "auth-pass-123", "priv-pass-456"
ENT_PHYSICAL = "1.3.6.1.2.1.47.1.1.1"
ENT_SENSOR = "1.3.6.1.2.1.99.1.1"
ARC = "1.3.6.1.4.1.32473"
LINES = ARC + ".1.1"
ALARMS = ARC + ".1.2"


def tool(name):
    path = shutil.which(name) or shutil.which(name, path="/usr/sbin:/usr/bin")
    if not path:
        sys.exit(f"FAIL: {name} is not installed (./x installs it)")
    return path


class Snmp:
    """snmpd and snmptrapd in dir; agentx: the master socket for the site's "snmp"."""

    def __init__(self, dir):
        self.dir = dir
        os.makedirs(dir, exist_ok=True)
        self.port, self.trap_port = free_port(), free_port()
        self.agentx = "unix:" + os.path.join(dir, "agentx.sock")
        self.trap_log = os.path.join(dir, "traps.log")
        with open(os.path.join(dir, "snmptrapd.conf"), "w") as f:
            f.write(f"authCommunity log {COMMUNITY}\n")
        with open(os.path.join(dir, "snmpd.conf"), "w") as f:
            f.write(f"""agentaddress udp:127.0.0.1:{self.port}
master agentx
agentXSocket {self.agentx}
agentXPerms 0600 0700
rocommunity {COMMUNITY} 127.0.0.1
createUser {USER} SHA "{AUTH}" AES "{PRIV}"
rouser {USER} priv
trap2sink 127.0.0.1:{self.trap_port} {COMMUNITY}
""")
        self.env = dict(os.environ, SNMP_PERSISTENT_DIR=os.path.join(dir, "persist"), MIBS="", MIBDIRS=dir)
        self.trapd = subprocess.Popen(
            [tool("snmptrapd"), "-f", "-C", "-c", os.path.join(dir, "snmptrapd.conf"), "-Lf", self.trap_log,
             "-On", "-Ox", "-Ot", f"udp:127.0.0.1:{self.trap_port}"], env=self.env,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.snmpd = None

    def start(self):
        self.snmpd = subprocess.Popen(
            [tool("snmpd"), "-f", "-C", "-c", os.path.join(self.dir, "snmpd.conf"),
             "-Lf", os.path.join(self.dir, "snmpd.log")],
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for("snmpd to answer", lambda: self.walk("1.3.6.1.2.1.1.3"), 10)

    def stop_snmpd(self):
        if self.snmpd and self.snmpd.poll() is None:
            self.snmpd.send_signal(signal.SIGTERM)
            self.snmpd.wait(10)

    def stop(self):
        self.stop_snmpd()
        if self.trapd.poll() is None:
            self.trapd.send_signal(signal.SIGTERM)
            self.trapd.wait(10)

    def walk(self, root, v3=None, community=COMMUNITY, timeout=2, bulk=0):
        """{oid: value} of snmpwalk under root (numeric OIDs, strings as
        bytes); v3=(auth, priv) pass phrases to walk as the v3 user; bulk=N:
        snmpbulkwalk, N repetitions a request."""
        auth = ["-v2c", "-c", community]
        if v3:
            auth = ["-v3", "-l", "authPriv", "-u", USER, "-a", "SHA", "-A", v3[0], "-x", "AES", "-X", v3[1]]
        how = [tool("snmpbulkwalk"), f"-Cr{bulk}"] if bulk else [tool("snmpwalk")]
        r = subprocess.run([*how, *auth, "-On", "-Oe", "-Ot", "-Ox", "-OU", "-t", str(timeout), "-r", "0",
                            f"127.0.0.1:{self.port}", root], capture_output=True, text=True, env=self.env)
        return parse(r.stdout)

    def traps(self):
        """The notifications snmptrapd logged: [{oid: value}], in order."""
        if not os.path.exists(self.trap_log):
            return []
        with open(self.trap_log, errors="replace") as f:
            text = f.read()
        # A notification: a header line ("DATE TIME HOST [UDP: ...]:"), then
        # its varbinds separated by tabs (hex strings going on over lines).
        out = []
        for block in re.split(r"^\d{4}-\d\d-\d\d [^\n]*\]:$", text, flags=re.M)[1:]:
            out.append(parse(block.strip("\n").replace("\t.", "\n.")))
        return out


def value(kind, text):
    text = text.strip()
    if kind == "Hex-STRING":
        return bytes.fromhex(text.replace(" ", "").replace("\n", ""))
    if kind == "STRING":
        return text.strip('"').encode()
    if kind in ("INTEGER", "Gauge32", "Counter32", "Timeticks", "Counter64"):
        return int(text.split()[0].strip("()"))
    return text


def parse(out):
    """snmpwalk/snmptrapd lines '.OID = TYPE: VALUE' (hex strings go on over
    several lines) into {oid without the leading dot: value}."""
    got, name, kind, text = {}, None, None, ""
    for line in out.splitlines() + [".end = END: "]:
        if line.startswith(".") and " = " in line:
            if name is not None and not kind.startswith("No "):  # No Such Object/Instance, No more variables
                got[name] = value(kind, text)
            name, rest = line[1:].split(" = ", 1)
            kind, _, text = rest.partition(": ")
            if kind == '""':
                kind, text = "STRING", ""
        elif name is not None:
            text += " " + line
    got.pop("end", None)
    return got


def table(walked, root):
    """{column: {index tuple: value}} of a walked table under root's entry."""
    rows = {}
    prefix = root + ".1."
    for name, v in walked.items():
        if name.startswith(prefix):
            parts = [int(p) for p in name[len(prefix):].split(".")]
            rows.setdefault(parts[0], {})[tuple(parts[1:])] = v
    return rows
