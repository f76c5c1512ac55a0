#!/usr/bin/env python3
"""Start-up time and memory of Korvath.

Starts the program N times (default 10) against a notice server and an app
page on 127.0.0.1 and prints, for each run:
  - start-up: milliseconds from launch to aria2 accepting the global options
    (the "global_options_accepted" event of KORVATH_EVENT_LOG);
  - PSS of Korvath and its web-engine processes 10 s after start with the
    main window only, then 10 s after opening the download manager;
  - aria2's PSS apart.
Then the median, mean, minimum and maximum of each column.

    bench/startup.py [N] [--program build/src/shell/korvath]

Needs an X display; without $DISPLAY it runs itself under tools/with-display.
"""
import argparse
import http.server
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def monotonic_ms():
    # The event log's t_ms comes from the same clock (CLOCK_MONOTONIC).
    return time.clock_gettime(time.CLOCK_MONOTONIC) * 1000.0


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path.startswith("/getpassword"):
            body = "[gg]benchmark notice[/gg]".encode()
            kind = "text/plain; charset=utf-8"
        else:
            body = ("<!DOCTYPE html><html><head><meta charset='utf-8'></head><body>"
                    "<h1>share app</h1><p>文件名：none</p></body></html>").encode()
            kind = "text/html; charset=utf-8"
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def children_of(pid):
    kids = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        ppid = int(stat[stat.rindex(")") + 2:].split()[1])
        kids.setdefault(ppid, []).append(int(entry))
    tree, todo = [], [pid]
    while todo:
        p = todo.pop()
        tree.append(p)
        todo.extend(kids.get(p, []))
    return tree


def name_of(pid):
    try:
        with open(f"/proc/{pid}/comm") as f:
            return f.read().strip()
    except OSError:
        return ""


def pss_kib(pid):
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def tree_pss_mb(pid):
    """(Korvath and its web-engine processes, aria2) in MB."""
    ours = aria2 = 0
    for p in children_of(pid):
        if name_of(p).lower().startswith("aria2c"):
            aria2 += pss_kib(p)
        else:
            ours += pss_kib(p)
    return ours / 1024.0, aria2 / 1024.0


def read_events(path):
    events = []
    try:
        with open(path, encoding="utf-8") as f:
            for line in f:
                try:
                    events.append(json.loads(line))
                except ValueError:
                    pass
    except OSError:
        pass
    return events


def wait_for(predicate, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    return None


def main_window(pid):
    out = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid), "--name", "^Korvath - Fenlow$"],
                         capture_output=True, text=True).stdout.split()
    return out[0] if out else None


def one_run(program, base_url, workdir):
    log = os.path.join(workdir, "events.jsonl")
    env = dict(os.environ, KORVATH_EVENT_LOG=log, KORVATH_DIALOGS="auto",
               KORVATH_NOTICE_URL=base_url + "/getpassword", KORVATH_APP_URL=base_url + "/app/")
    launched = monotonic_ms()
    proc = subprocess.Popen([program], cwd=workdir, env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        accepted = wait_for(lambda: next((e for e in read_events(log)
                                          if e.get("event") == "global_options_accepted"), None), 30)
        startup = accepted["t_ms"] - launched if accepted else float("nan")
        time.sleep(max(0.0, 10.0 - (monotonic_ms() - launched) / 1000.0))
        main_only, aria2 = tree_pss_mb(proc.pid)
        window = wait_for(lambda: main_window(proc.pid), 5)
        both = float("nan")
        if window:
            # The download-manager button, at its place in the window.
            subprocess.run(["xdotool", "mousemove", "--window", window, "456", "28", "click", "1"])
            opened = monotonic_ms()
            wait_for(lambda: any(e.get("event") == "window" and e.get("name") == "download_manager"
                                 for e in read_events(log)), 5)
            time.sleep(max(0.0, 10.0 - (monotonic_ms() - opened) / 1000.0))
            both, aria2_both = tree_pss_mb(proc.pid)
            aria2 = max(aria2, aria2_both)
        return startup, main_only, both, aria2
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def summary(name, values, unit):
    values = [v for v in values if v == v]
    if not values:
        return f"{name:<28} (no data)"
    return (f"{name:<28} median {statistics.median(values):8.1f}  mean {statistics.mean(values):8.1f}"
            f"  min {min(values):8.1f}  max {max(values):8.1f} {unit}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("runs", nargs="?", type=int, default=10)
    parser.add_argument("--program", default=os.path.join(ROOT, "build/src/shell/korvath"))
    args = parser.parse_args()
    if not os.environ.get("DISPLAY"):
        os.execv(os.path.join(ROOT, "tools/with-display"),
                 [os.path.join(ROOT, "tools/with-display"), sys.executable, *sys.argv])
    program = os.path.abspath(args.program)
    if not os.access(program, os.X_OK):
        sys.exit(f"no program at {program}; build first")

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base_url = f"http://127.0.0.1:{server.server_address[1]}"

    rows = []
    print(f"{'run':>3}  {'start-up ms':>11}  {'PSS main MB':>11}  {'PSS +manager MB':>15}  {'aria2 PSS MB':>12}")
    for i in range(1, args.runs + 1):
        workdir = tempfile.mkdtemp(prefix="korvath-bench-")
        try:
            row = one_run(program, base_url, workdir)
        finally:
            shutil.rmtree(workdir, ignore_errors=True)
        rows.append(row)
        print(f"{i:>3}  {row[0]:>11.0f}  {row[1]:>11.1f}  {row[2]:>15.1f}  {row[3]:>12.1f}", flush=True)
    server.shutdown()
    print()
    print(summary("start-up (launch -> options)", [r[0] for r in rows], "ms"))
    print(summary("PSS, main window only", [r[1] for r in rows], "MB"))
    print(summary("PSS, main + manager", [r[2] for r in rows], "MB"))
    print(summary("aria2 PSS", [r[3] for r in rows], "MB"))


if __name__ == "__main__":
    main()
