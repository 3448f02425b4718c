#!/usr/bin/env python3
"""tesra export against real programs and a scripted server.

  export_test.py TESRA CASE
    promtool  OpenMetrics export -> promtool tsdb create-blocks-from openmetrics -> tsdb dump,
              every sample compared with what `tesra values` prints
    victoria  --push to a victoria-metrics server started here, read back through its export API
    push      push faults against a scripted loopback server: 503 then gone, 400, not http(s)
    partial   an archive whose data stops in the middle

Servers listen on 127.0.0.1 only, in scratch directories of this run, and are stopped on every
exit path. A case whose program is missing exits 77 (skipped) with a message saying so.
"""
import gzip
import http.server
import json
import math
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

SKIP = 77
UNITS = {"0x20000": "bytes", "0x40000": "seconds"}


def run(args, ok=(0,), **kw):
    p = subprocess.run(args, capture_output=True, text=True, **kw)
    if p.returncode not in ok:
        raise AssertionError(f"{args}: exit {p.returncode}\n{p.stdout[-2000:]}\n{p.stderr[-2000:]}")
    return p


def check(cond, message):
    if not cond:
        raise AssertionError(message)


def map_name(text):
    return re.sub(r"[^a-zA-Z0-9_]", "_", text)


# ---- what the archives hold, through `tesra info`, `counters` and `values` ------------------

def archive_facts(tesra, base):
    info = run([tesra, "info", base]).stdout
    node = re.search(r"^Node\s+(\S+)", info, re.M).group(1)
    node_uuid = re.search(r"^Node uuid\s+(\S+)", info, re.M).group(1)
    cluster = re.search(r"^Cluster\s+(\S+)\s+uuid\s+(\S+)", info, re.M)
    labels = {"node": node, "node_uuid": node_uuid}
    if cluster:
        labels.update(cluster=cluster.group(1), cluster_uuid=cluster.group(2))
    objects = []
    section = info.split("Objects (", 1)[1].split("\n\n", 1)[0]
    for line in section.splitlines()[2:]:
        cols = line.split()
        periods = cols[2].split(",")
        objects.append((cols[1], periods))
    return labels, objects


def counter_units(tesra, base, obj):
    units = {}
    for line in run([tesra, "counters", base, obj]).stdout.splitlines():
        m = re.match(r"\s*\d+\s+(\S+)\s+(yes|no)\s+\d+\s+\S+\s+\S+\s+0x[0-9A-F]+( string)?\s+"
                     r"(0x[0-9A-F]+)", line)
        if m:
            units[m.group(1)] = UNITS.get(m.group(4), "")
    return units


def period_ms(text):
    if text == "once":
        return 999999000
    return int(text[:-1]) * {"s": 1000, "m": 60000, "h": 3600000}[text[-1]]


def expected_samples(tesra, bases):
    """{(name, frozenset(labels)): [(time_ms, value)]} as `tesra values` gives them."""
    out = {}
    last_info = {}
    for base in bases:
        node_labels, objects = archive_facts(tesra, base)
        for obj, periods in objects:
            units = counter_units(tesra, base, obj)
            claimed = set()
            for period in sorted(periods, key=period_ms):
                doc = json.loads(run([tesra, "values", base, obj, "--period", period,
                                      "--format", "json"]).stdout)
                defs = {c["name"]: c for c in doc["counters"]}
                fresh = {n for n, c in defs.items() if not c["key"] and n not in claimed}
                claimed |= fresh
                for s in doc["samples"]:
                    keys = {map_name(k): str(v) for k, v in s["keys"].items()}
                    for name in sorted(fresh):
                        if name not in s["values"]:
                            continue
                        c = defs[name]
                        value = s["values"][name]
                        flat, labels = [value], [{}]
                        if "x_names" in c:
                            xs, ys = c["x_names"], c.get("y_names")
                            if ys:
                                flat = [v for row in value for v in row]
                                labels = [{"x": x or str(i), "y": y or str(j)}
                                          for i, x in enumerate(xs) for j, y in enumerate(ys)]
                            else:
                                flat = value
                                labels = [{"x": x or str(i)} for i, x in enumerate(xs)]
                        is_text = c["type"] == "string"
                        metric = f"tesra_{map_name(obj)}_{map_name(name)}"
                        unit = "" if is_text else units.get(name, "")
                        if unit and not metric.endswith("_" + unit):
                            metric += "_" + unit
                        for v, extra in zip(flat, labels):
                            lab = dict(keys, **node_labels, **extra)
                            if is_text:
                                series = (metric, frozenset(lab.items()))
                                if last_info.get(series) == v:
                                    continue
                                last_info[series] = v
                                lab["value"] = v
                                key = (metric + "_info", frozenset(lab.items()))
                                out.setdefault(key, []).append((s["time_ms"], 1.0))
                            else:
                                key = (metric, frozenset(lab.items()))
                                out.setdefault(key, []).append((s["time_ms"], float(v)))
    return out


def compare(expected, got, what):
    missing = [k for k in expected if k not in got]
    extra = [k for k in got if k not in expected]
    check(not missing, f"{what}: {len(missing)} series missing, e.g. {missing[:2]}")
    check(not extra, f"{what}: {len(extra)} series not expected, e.g. {extra[:2]}")
    total = 0
    for key, samples in expected.items():
        have = got[key]
        check(len(have) == len(samples),
              f"{what}: {key[0]}: {len(have)} samples, expected {len(samples)}")
        for (t1, v1), (t2, v2) in zip(samples, have):
            check(t1 == t2 and math.isclose(v1, v2, rel_tol=1e-12),
                  f"{what}: {key[0]} {dict(key[1])}: ({t2}, {v2}), expected ({t1}, {v1})")
        total += len(samples)
    return total


LABEL = re.compile(r'(\w+)="((?:[^"\\]|\\.)*)"')


def unescape(text):
    return re.sub(r"\\(.)", lambda m: {"n": "\n"}.get(m.group(1), m.group(1)), text)


def parse_dump(text):
    got = {}
    for line in text.splitlines():
        if not line.startswith("{"):
            continue
        labels_text, rest = line[1:].rsplit("} ", 1)
        value, ts = rest.split()
        labels = {k: unescape(v) for k, v in LABEL.findall(labels_text)}
        name = labels.pop("__name__")
        got.setdefault((name, frozenset(labels.items())), []).append((int(ts), float(value)))
    for samples in got.values():
        samples.sort()
    return got


def make_archives(tesra, work):
    """The demo archive (objects with keys, arrays, strings, 1m, 5m and once periods) and two
    consecutive generated archives of one node, whose series run across their boundary."""
    demo = os.path.join(work, "demo")
    run([tesra, "demo", demo])
    gen = os.path.join(work, "gen")
    os.makedirs(gen)
    for index, start in enumerate((1765000000000, 1765003600000), 1):
        run([tesra, "gen", os.path.join(gen, f"{index}_60_{start}_3600000"), "--objects", "2",
             "--instances", "3", "--counters", "4", "--duration", "1h", "--period", "60s",
             "--start", str(start)])
    bases = [os.path.join(demo, f[:-5]) for f in os.listdir(demo) if f.endswith(".meta")]
    return bases, gen, [os.path.join(gen, f[:-5]) for f in sorted(os.listdir(gen))
                        if f.endswith(".meta")]


# ---- cases -----------------------------------------------------------------------------------

def case_promtool(tesra, work):
    if shutil.which("promtool") is None:
        print("SKIPPED: promtool is not installed (Debian package prometheus)")
        return SKIP
    demo, gen_dir, gen = make_archives(tesra, work)
    for name, sources, bases in (("demo", demo, demo), ("gen", [gen_dir], gen)):
        om = os.path.join(work, name + ".om")
        run([tesra, "export", *sources, "-o", om])
        check(open(om).read().endswith("# EOF\n"), "no # EOF at the end")
        blocks = os.path.join(work, name + "-blocks")
        run(["promtool", "tsdb", "create-blocks-from", "openmetrics", om, blocks])
        os.makedirs(os.path.join(blocks, "wal"), exist_ok=True)
        dump = run(["promtool", "tsdb", "dump", blocks]).stdout
        n = compare(expected_samples(tesra, bases), parse_dump(dump), f"promtool {name}")
        print(f"promtool {name}: {n} samples match")
    return 0


def free_port(preferred):
    for port in (preferred, 0):
        s = socket.socket()
        try:
            s.bind(("127.0.0.1", port))
            return s.getsockname()[1]
        except OSError:
            continue
        finally:
            s.close()
    raise AssertionError("no free port on 127.0.0.1")


def http_get(url, timeout=5):
    with urllib.request.urlopen(url, timeout=timeout) as r:
        return r.read().decode()


def case_victoria(tesra, work):
    exe = shutil.which("victoria-metrics")
    if exe is None:
        print("SKIPPED: victoria-metrics is not installed (Debian package victoria-metrics)")
        return SKIP
    demo, gen_dir, gen = make_archives(tesra, work)
    port = free_port(18428)
    storage = os.path.join(work, "vm-data")
    log = open(os.path.join(work, "vm.log"), "w")
    server = subprocess.Popen([exe, f"-storageDataPath={storage}",
                               f"-httpListenAddr=127.0.0.1:{port}", "-retentionPeriod=100y"],
                              stdout=log, stderr=subprocess.STDOUT)
    base_url = f"http://127.0.0.1:{port}"
    try:
        deadline = time.time() + 60
        while True:
            try:
                if http_get(base_url + "/health").strip() == "OK":
                    break
            except OSError:
                pass
            check(server.poll() is None and time.time() < deadline,
                  "victoria-metrics did not come up; see " + log.name)
            time.sleep(0.2)
        # One push per node: a series is one node's archives.
        pushed = 0
        for sources in (demo, [gen_dir]):
            p = run([tesra, "export", *sources, "--push", base_url, "--batch", "64"])
            m = re.search(r"pushed \d+ series, (\d+) samples", p.stdout)
            check(m, p.stdout)
            pushed += int(m.group(1))
        http_get(base_url + "/internal/force_flush")
        got = {}
        query = urllib.parse.quote('{__name__=~"tesra_.*"}')
        for line in http_get(base_url + f"/api/v1/export?match[]={query}", 60).splitlines():
            doc = json.loads(line)
            labels = dict(doc["metric"])
            name = labels.pop("__name__")
            key = (name, frozenset(labels.items()))
            got.setdefault(key, []).extend(zip(doc["timestamps"], map(float, doc["values"])))
        for samples in got.values():
            samples.sort()
        n = compare(expected_samples(tesra, demo + gen), got, "victoria-metrics")
        check(pushed == n, f"the tool's count {pushed} differs from {n}")
        print(f"victoria-metrics: {n} samples match")
    finally:
        server.send_signal(signal.SIGINT)
        try:
            server.wait(30)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
        log.close()
    return 0


class ScriptedServer:
    """Answers each POST with the next status of `script`; None hangs up without answering."""

    def __init__(self, script):
        self.script = list(script)
        self.bodies = []
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers["Content-Length"]))
                status = outer.script.pop(0) if outer.script else 204
                if status is None:  # gone: the connection closes without an answer
                    self.close_connection = True
                    return
                if status < 300:
                    outer.bodies.append(gzip.decompress(body).decode())
                self.send_response(status)
                msg = b"bad line 1: cannot parse\n" if status == 400 else b""
                self.send_header("Content-Length", str(len(msg)))
                self.end_headers()
                self.wfile.write(msg)

            def log_message(self, *args):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/api/v1/import/prometheus"
        self.thread = threading.Thread(target=self.server.serve_forever)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()


def case_push(tesra, work):
    _, gen_dir, _ = make_archives(tesra, work)
    common = [tesra, "export", gen_dir, "--batch", "16", "--retry-wait", "10", "--retries", "3"]

    # A 503 is retried; then the server goes away: retries, a clear error, what was sent.
    srv = ScriptedServer([204, 503, 204, None, None, None])
    try:
        p = run(common + ["--push", srv.url], ok=(1,))
    finally:
        srv.close()
    sent = sum(len(b.splitlines()) for b in srv.bodies)
    check(len(srv.bodies) == 2 and sent > 0, f"{len(srv.bodies)} batches arrived")
    check(re.search(rf"push failed: .*gave up after 3 attempts.*; {sent} of \d+ samples were sent",
                    p.stderr), p.stderr)
    for line in srv.bodies[0].splitlines():
        check(re.fullmatch(r"tesra_\w+\{.*\} \d+ \d{13}", line), f"not Prometheus text: {line}")

    # A 4xx is not retried: the server's reason and a non-zero exit.
    srv = ScriptedServer([400, 204])
    try:
        p = run(common + ["--push", srv.url], ok=(1,))
    finally:
        srv.close()
    check(srv.script == [204] and not srv.bodies, "the refused batch was sent again")
    check("HTTP 400: bad line 1: cannot parse" in p.stderr, p.stderr)

    for url in ("ftp://127.0.0.1/x", "file:///tmp/x", "127.0.0.1:8428", "http://"):
        p = run([tesra, "export", gen_dir, "--push", url], ok=(2,))
        check("http:// or https://" in p.stderr, p.stderr)
    print("push faults: ok")
    return 0


def case_partial(tesra, work):
    _, _, gen = make_archives(tesra, work)
    base = gen[0]
    data = gzip.decompress(open(base + ".gz", "rb").read())
    with open(base + ".gz", "wb") as f:
        f.write(gzip.compress(data[: len(data) // 2]))
    om = os.path.join(work, "cut.om")
    p = run([tesra, "export", base, "-o", om], ok=(1,))
    check("data stops" in p.stderr and "exported what came before" in p.stderr, p.stderr)
    text = open(om).read()
    check(text.endswith("# EOF\n") and "tesra_object_001_count_000{" in text, text[-300:])
    run([tesra, "export", base, "-o", om, "--partial-ok"])
    print("partial: ok")
    return 0


def main():
    tesra, case = os.path.abspath(sys.argv[1]), sys.argv[2]
    work = tempfile.mkdtemp(prefix="tesra-export-test-")
    try:
        return {"promtool": case_promtool, "victoria": case_victoria, "push": case_push,
                "partial": case_partial}[case](tesra, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
