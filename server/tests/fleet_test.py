#!/usr/bin/env python3
"""A fleet: three oramet-timed replicas behind HAProxy (the shipped
deploy/haproxy.cfg, its addresses changed) sharing one Redis store, in a
network and process namespace of the test's own, so that nothing it starts
can reach or outlive anything else. Checks that requests spread and get a
time, that an address offending through HAProxy is blocked by every replica,
that draining loses no request, that a killed replica loses only what it
held, that the replicas go on without the store and pick it up again, and
that a replica restarted while an address is blocked turns it away at once.
Prints the figures of the run. Bounded: about a minute.

  fleet_test.py ORAMET_TIMED ORAMET_LOAD HAPROXY_CFG WORK_DIR
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

STORE, STORE_PORT, STORE_DB = "127.0.11.1", 6379, 3
SPARE_PORT = 6380  # a second store on the same file, to change it while the first is away
PROXY = "127.0.11.2"
REPLICAS = ["127.0.11.11", "127.0.11.12", "127.0.11.13"]
PORT, METRICS_PORT = 8080, 9617
LIMIT = 20
OFFENDER, LATE_BLOCKED, COUNTED = "127.0.11.50", "127.0.11.51", "127.0.11.52"
CONNECTIONS = 50  # the load generator's, at once
PASSWORD = "fleet-test-password"
# Only hangs are caught with these; the figures are printed, not asserted.
HANG = 15.0

failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)
    return ok


def until(done, seconds=HANG):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if done():
            return True
        time.sleep(0.05)
    return done()


def exchange(ip, port, request, source=None):
    """The reply's bytes; b"" when closed without a reply; None when the
    connection could not be made."""
    s = socket.socket()
    s.settimeout(5)
    try:
        if source:
            s.bind((source, 0))
        s.connect((ip, port))
    except OSError:
        s.close()
        return None
    out = b""
    try:
        s.sendall(request)
        while True:
            b = s.recv(4096)
            if not b:
                break
            out += b
    except OSError:
        pass
    s.close()
    return out


def time_request(ip, port=80, source=None):
    return exchange(ip, port, b"GET /?v=2.07 HTTP/1.1\r\nHost: t\r\n\r\n", source)


def is_time(reply):
    if not reply or not reply.startswith(b"HTTP/1.1 200 "):
        return False
    body = reply.split(b"\r\n\r\n", 1)[-1]
    return re.fullmatch(rb"\d{13}", body) is not None and abs(int(body) - time.time() * 1000) < 60000


def turned_away(ip, port=80, source=OFFENDER):
    """No time: closed at the door, or "^"."""
    r = time_request(ip, port, source)
    return r is not None and (r == b"" or r.endswith(b"\r\n\r\n^"))


def metrics_get(ip, path):
    return exchange(ip, METRICS_PORT, f"GET {path} HTTP/1.0\r\n\r\n".encode()) or b""


def metric(ip, name):
    text = metrics_get(ip, "/metrics").decode(errors="replace")
    values = [float(m) for m in re.findall(rf"^{re.escape(name)}(?:{{[^}}]*}})? (\S+)$", text, re.M)]
    return sum(values) if values else None


class Fleet:
    def __init__(self, binary, load, haproxy_cfg, work):
        self.binary, self.load_tool, self.work = binary, load, work
        self.procs = {}
        with open(os.path.join(work, "store-password"), "w") as f:
            f.write(PASSWORD + "\n")
        self.haproxy_cfg = self.haproxy_config(haproxy_cfg)

    def spawn(self, name, argv):
        log = open(os.path.join(self.work, name + ".log"), "a")
        self.procs[name] = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        return self.procs[name]

    def stop_all(self):
        for p in self.procs.values():
            if p.poll() is None:
                p.kill()
                p.wait()

    # The store.
    def start_store(self, port=STORE_PORT, name="store"):
        self.spawn(name, ["redis-server", "--bind", STORE, "--port", str(port), "--requirepass", PASSWORD,
                          "--dir", self.work, "--dbfilename", "fleet.rdb", "--save", "", "--appendonly", "no"])
        return until(lambda: self.redis("PING", port=port) == "PONG")

    def redis(self, *args, port=STORE_PORT):
        r = subprocess.run(["redis-cli", "-h", STORE, "-p", str(port), "-a", PASSWORD, "--no-auth-warning",
                            "-n", str(STORE_DB), *args], capture_output=True, text=True, timeout=HANG)
        return r.stdout.strip()

    def stop_store(self, name="store", port=STORE_PORT):
        self.redis("SHUTDOWN", "SAVE", port=port)
        return check(self.procs[name].wait(timeout=HANG) is not None, f"{name} saved its data and stopped")

    # The replicas.
    def start_replica(self, i):
        conf = os.path.join(self.work, f"r{i}.conf")
        with open(conf, "w") as f:
            f.write(f"listen = {REPLICAS[i]}:{PORT}\nmetrics-listen = {REPLICAS[i]}:{METRICS_PORT}\nworkers = 1\n"
                    f"abuse-limit = {LIMIT}\nproxy-protocol-from = 127.0.0.1\ndrain-ms = 4000\n"
                    f"offence-store = redis://{STORE}:{STORE_PORT}/{STORE_DB}\n"
                    f"offence-store-password-file = {self.work}/store-password\n")
        return self.spawn(f"r{i}", [self.binary, "--config", conf])

    def ready(self, i):
        return metrics_get(REPLICAS[i], "/ready").endswith(b"\r\n\r\nready")

    # The load balancer, as shipped but for its addresses.
    def haproxy_config(self, shipped):
        text = open(shipped).read()
        for needed in ["option httpchk GET /ready", "check inter 1s fall 2 rise 2", "retries 2",
                       "option redispatch 1", "send-proxy", "\nfrontend time_http\n    bind :80\n"]:
            check(needed in text, f"shipped haproxy.cfg has {needed.strip()!r}")
        # No syslog in here, and descriptors for fewer connections than a
        # production proxy wants.
        text = text.replace("    log /dev/log local0\n", "").replace("bind :80", f"bind {PROXY}:80")
        text = re.sub(r"\n    maxconn \d+\n", "\n    maxconn 2000\n", text)
        text, n = re.subn(r"server (r\d) 127\.0\.0\.1:808(\d) port \d+",
                          lambda m: f"server {m[1]} {REPLICAS[int(m[2]) - 1]}:{PORT} port {METRICS_PORT}", text)
        check(n == 3, "shipped haproxy.cfg names three replicas")
        path = os.path.join(self.work, "haproxy.cfg")
        with open(path, "w") as f:
            f.write(text)
        return path

    def start_haproxy(self):
        self.spawn("haproxy", ["haproxy", "-db", "-f", self.haproxy_cfg])

    def load(self, ip, port, seconds):
        """Starts the load generator; finish() gives (requests, errors, rps)."""
        out = open(os.path.join(self.work, "load.out"), "w+")
        p = subprocess.Popen([self.load_tool, "rate", ip, str(port), "/?v=2.07", str(CONNECTIONS), str(seconds)],
                             stdout=out, stderr=subprocess.STDOUT)

        def finish():
            p.wait(timeout=seconds + HANG)
            out.seek(0)
            text = out.read()
            m = re.search(r"requests=(\d+) errors=(\d+) rps=(\d+)", text)
            if not m:
                check(False, f"load generator's output: {text!r}")
                return 0, 10**9, 0
            return int(m[1]), int(m[2]), int(m[3])
        return finish


def run(fleet):
    figures = []
    check(fleet.start_store(), "the store answers")
    for i in range(3):
        fleet.start_replica(i)
    check(until(lambda: all(fleet.ready(i) for i in range(3))), "every replica says ready")
    fleet.start_haproxy()

    # Requests spread over all three, and every reply is a time.
    check(until(lambda: time_request(PROXY) is not None), "HAProxy listens")
    served = [lambda i=i: metric(REPLICAS[i], "oramet_timed_requests_total") or 0 for i in range(3)]
    before = [served[i]() for i in range(3)]
    replies = [time_request(PROXY, source=f"127.0.11.{100 + n}") for n in range(60)]
    check(all(is_time(r) for r in replies), "60 requests through HAProxy all get a time")
    check(all(served[i]() > before[i] for i in range(3)), "each of the three replicas answered some")

    direct = fleet.load(REPLICAS[0], PORT, 3)()
    proxied = fleet.load(PROXY, 80, 3)()
    check(direct[1] == 0 and proxied[1] == 0, f"no errors under load (direct {direct[1]}, via HAProxy {proxied[1]})")
    figures.append(f"requests/s: one replica direct {direct[2]}, three through HAProxy {proxied[2]}")

    # An address offending through HAProxy: each replica sees only a third
    # of its offences, the store all of them.
    for n in range(LIMIT + 1):
        r = exchange(PROXY, 80, b"GET /nope HTTP/1.1\r\nHost: t\r\n\r\n", OFFENDER)
        if not (r or b"").startswith(b"HTTP/1.1 404"):
            check(False, f"offence {n + 1} answered 404, got {(r or b'')[:40]!r}")
    passed = time.monotonic()
    pending = set(range(3))

    def all_blocked():
        for i in list(pending):
            if turned_away(REPLICAS[i], PORT):
                pending.discard(i)
        return not pending
    check(until(all_blocked), "every replica turns the offender away")
    figures.append(f"blocked everywhere {1000 * (time.monotonic() - passed):.0f} ms after passing the limit")
    check(all(turned_away(PROXY) for _ in range(6)), "the offender gets no time through HAProxy")
    check(fleet.redis("GET", f"oramet-timed:offences:{OFFENDER}") == str(LIMIT + 1),
          "the store counted every offence once")
    ttl = int(fleet.redis("TTL", f"oramet-timed:offences:{OFFENDER}") or -1)
    check(0 < ttl <= 86400, f"the count's window expires (TTL {ttl})")

    # SIGTERM while clients keep asking: draining loses nothing.
    finish = fleet.load(PROXY, 80, 9)
    time.sleep(1.5)
    fleet.procs["r0"].send_signal(signal.SIGTERM)
    check(until(lambda: metrics_get(REPLICAS[0], "/ready").startswith(b"HTTP/1.1 503")
                and metrics_get(REPLICAS[0], "/ready").endswith(b"draining"), 3),
          "/ready turns 503 on SIGTERM")
    check(is_time(time_request(REPLICAS[0], PORT)), "a draining replica still answers")
    check(fleet.procs["r0"].wait(timeout=HANG) == 0, "the drained replica exits with status 0")
    requests, errors, _ = finish()
    check(errors == 0, f"no request failed while a replica drained ({errors} of {requests})")
    figures.append(f"failed requests, replica drained: {errors} of {requests}")

    # A replica restarted while an address is blocked turns it away from
    # its first connection on.
    def restart_and_probe(i):
        fleet.start_replica(i)
        first, end = None, time.monotonic() + HANG
        while first is None and time.monotonic() < end:
            first = time_request(REPLICAS[i], PORT, OFFENDER)
            time.sleep(0.01)
        check(first == b"", f"restarted replica {i + 1} turns the offender away on its first connection")
    restart_and_probe(0)

    # SIGKILL: only the connections it held fail; HAProxy routes around it.
    finish = fleet.load(PROXY, 80, 5)
    time.sleep(1.5)
    fleet.procs["r1"].kill()
    fleet.procs["r1"].wait()
    requests, errors, _ = finish()
    check(errors <= CONNECTIONS, f"a killed replica fails at most the {CONNECTIONS} connections at once "
                                 f"({errors} of {requests})")
    figures.append(f"failed requests, replica killed: {errors} of {requests}")
    requests, errors, _ = fleet.load(PROXY, 80, 3)()
    check(errors == 0, f"after the kill, no request fails ({errors} of {requests})")
    restart_and_probe(1)
    check(until(lambda: all(fleet.ready(i) for i in range(3))), "every replica ready again")

    # The store stops: the replicas go on, ready; back, it counts again and
    # its blocked set, changed meanwhile, is loaded.
    finish = fleet.load(PROXY, 80, 8)
    time.sleep(1)
    fleet.stop_store()
    check(until(lambda: all(metric(r, "oramet_timed_offence_store_up") == 0 for r in REPLICAS)),
          "every replica shows the store down")
    check(all(fleet.ready(i) for i in range(3)), "/ready stays 200 without the store")
    check(all(is_time(time_request(PROXY, source=f"127.0.11.{100 + n}")) for n in range(10)),
          "times are served without the store")
    check(all(turned_away(r, PORT) for r in REPLICAS), "the offender stays turned away without the store")
    check(fleet.start_store(SPARE_PORT, "spare"), "a second store on the same file answers")
    fleet.redis("ZADD", "oramet-timed:blocked", str(int(time.time()) + 3600), LATE_BLOCKED, port=SPARE_PORT)
    fleet.stop_store("spare", SPARE_PORT)
    check(fleet.start_store(), "the store is back")
    check(until(lambda: all(metric(r, "oramet_timed_offence_store_up") == 1 for r in REPLICAS)),
          "every replica reconnects")
    requests, errors, _ = finish()
    check(errors == 0, f"no request failed while the store was away ({errors} of {requests})")
    figures.append(f"failed requests, store stopped and started: {errors} of {requests}")
    check(until(lambda: all(turned_away(r, PORT, LATE_BLOCKED) for r in REPLICAS), 3),
          "a block added while the replicas were away is loaded by all")
    for _ in range(3):
        exchange(PROXY, 80, b"GET /nope HTTP/1.1\r\nHost: t\r\n\r\n", COUNTED)
    check(until(lambda: fleet.redis("GET", f"oramet-timed:offences:{COUNTED}") == "3", 5),
          "counting resumes in the store")

    # A replica's config with the store's address mistyped is refused before a restart.
    bad = subprocess.run([fleet.binary, "--check-config", "--config", os.path.join(fleet.work, "r0.conf"),
                          "--offence-store", f"redis//{STORE}:{STORE_PORT}"], capture_output=True, text=True)
    check(bad.returncode == 1 and "offence-store: expected redis://" in bad.stderr,
          f"--check-config rejects a malformed store address ({bad.returncode}: {bad.stderr.strip()})")
    return figures


def main():
    if os.geteuid() != 0:
        print("skipped: a network namespace of its own needs root")
        return 77
    if "ORAMET_FLEET_NAMESPACE" not in os.environ:
        # Its own network, and its own processes: however the test ends, even
        # killed, the kernel ends everything it started (unshare takes this
        # process's place, so whoever stops the test stops unshare).
        os.environ["ORAMET_FLEET_NAMESPACE"] = "1"
        os.execvp("unshare", ["unshare", "--net", "--pid", "--fork", "--kill-child", "--",
                              sys.executable, *sys.argv])
    for tool in ["haproxy", "redis-server", "redis-cli", "ip"]:
        if shutil.which(tool) is None:
            print(f"FAIL {tool} missing (scripts/setup.sh installs it)")
            return 1
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    binary, load, haproxy_cfg, work = sys.argv[1:5]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    fleet = Fleet(binary, load, haproxy_cfg, work)
    try:
        figures = run(fleet)
    finally:
        fleet.stop_all()
    for f in figures:
        print("figure: " + f)
    if failures:
        print(f"{len(failures)} failed; logs in {work}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
