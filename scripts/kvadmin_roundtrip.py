#!/usr/bin/env python3
"""kvadmin round trip on loopback, as an operator meets it: a kelvandrome
service in a temporary home with one account (made on its terminal), then
N runs of the kvadmin binary, each a fresh process that reads its password
file, connects, sends one request, prints the answer and exits. Prints p50
and p99 of the whole run (process start included).

usage: scripts/kvadmin_roundtrip.py BUILD_DIR [N]
"""
import os, socket, subprocess, sys, tempfile, time

build = sys.argv[1] if len(sys.argv) > 1 else "build"
n = int(sys.argv[2]) if len(sys.argv) > 2 else 300

def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port

def pct(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(round(p / 100.0 * (len(v) - 1))))]

with tempfile.TemporaryDirectory(prefix="kvrt-") as home:
    port = free_port()
    with open(os.path.join(home, "kelvandrome.ini"), "w") as f:
        f.write("[Global]\r\nServerPort=%d\r\nRemoteAdminBindAddress=127.0.0.1\r\nUseNoLog=1\r\n" % port)
    svc = subprocess.Popen([os.path.join(build, "app/kelvandrome"), "--home", home],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    svc.stdin.write("account add bench\nbenchpw\n")
    svc.stdin.flush()
    for line in svc.stdout:
        if "TGeneralMohaaServer Started" in line:
            break
    pw = os.path.join(home, "pw")
    with open(pw, "w") as f:
        f.write("benchpw\n")
    base = [os.path.join(build, "tools/kvadmin"), "--port", str(port), "--user", "bench", "--password-file", pw]
    runs = (("bans (table)", ["bans"]), ("accounts list --json", ["--json", "accounts", "list"]))
    results = {}
    for name, args in runs:
        times = []
        for _ in range(n):
            t0 = time.perf_counter()
            r = subprocess.run(base + args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            times.append((time.perf_counter() - t0) * 1000)
            if r.returncode != 0:
                sys.exit("kvadmin failed: " + r.stderr.decode())
        results[name] = times
    svc.stdin.write("quit\n")
    svc.stdin.flush()
    svc.wait(timeout=30)
    for name, times in results.items():
        print("kvadmin %-22s n=%d  p50 %.2f ms  p99 %.2f ms  max %.2f ms" %
              (name, len(times), pct(times, 50), pct(times, 99), max(times)))
