#!/usr/bin/env python3
"""Idle CPU of Korvath and of its aria2 against the length of aria2's task list.

For each size N (--sizes, default 0,2000,10000) Korvath is started with a
fresh HOME whose session record holds N tasks; Korvath adds them all back to
its own aria2, paused. Then half of them are ended, the way a laptop with a
long history has them: the script reads aria2's secret from the run
configuration Korvath writes into $XDG_RUNTIME_DIR (a private directory of
the run) and asks aria2 itself to continue those tasks with one try each,
against the loopback server, which serves half of them (they complete) and
answers 404 for the rest (they fail). A closed port would not do: Korvath
tries a task whose server could not be reached again after a wait, and the
window would measure those tries instead of an idle list.
aria2 keeps every ended one: its max-download-result is raised to N for the
run. When the secret cannot be had, every task stays paused and the output
says so.

Once nothing happens any more (start-up done, record restored, tasks ended,
--settle seconds), it reads utime+stime of the korvath process alone (not the
web processes) and of its aria2 from /proc/<pid>/stat, waits --seconds, reads
them again and prints the CPU used as a percentage of one core, with the RPC
calls Korvath made in that window (its event log's "rpc" and "aria2_question"
lines) by method.
Nothing of the script talks to aria2 during the window.

    bench/idle-cpu.py [--sizes 0,2000,10000] [--seconds 30] [--settle 5]
                      [--program build/src/shell/korvath] [--json FILE]

Needs an X display; without $DISPLAY it runs itself under tools/with-display.
Takes the machine-wide aria2 lock around every Korvath run.
"""
import argparse
import collections
import ctypes
import http.server
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

from bench_common import CLK_TCK, ROOT, MachineLock, monotonic_ms, run_with_display, wait_for

ARIA2_NAME = "aria2c.exe"
RPC_URL = "http://127.0.0.1:6800/jsonrpc"
RUN_CONF_PREFIX = "korvath-aria2-"


class Handler(http.server.BaseHTTPRequestHandler):
    """The notice, the app page, and the small files of the tasks that complete."""

    def do_GET(self):
        if self.path.startswith("/missing/"):
            self.send_error(404)
            return
        if self.path.startswith("/getpassword"):
            body = "[gg]benchmark notice[/gg]".encode()
            kind = "text/plain; charset=utf-8"
        elif self.path.startswith("/files/"):
            body = b"x" * 64
            kind = "application/octet-stream"
        else:
            body = ("<!DOCTYPE html><html><head><meta charset='utf-8'></head><body>"
                    "<h1>share app</h1><p>文件名：none</p></body></html>").encode()
            kind = "text/html; charset=utf-8"
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_HEAD(self):
        self.do_GET()

    def log_message(self, *args):
        pass


# ---- processes --------------------------------------------------------------

def stat_of(pid):
    """(ppid, utime + stime in ticks, comm) of one process; None once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
    except OSError:
        return None
    comm = stat[stat.index("(") + 1:stat.rindex(")")]
    rest = stat[stat.rindex(")") + 2:].split()
    # From the state on: ppid is field 1, utime 11, stime 12.
    return int(rest[1]), int(rest[11]) + int(rest[12]), comm


def aria2_child_of(parent):
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            st = stat_of(int(entry))
            if st and st[0] == parent and st[2] == ARIA2_NAME:
                return int(entry)
    return None


# ---- aria2's secret ---------------------------------------------------------

class RunConfCatcher:
    """Keeps a hard link to each run configuration Korvath writes in `directory`.

    Korvath removes the file as soon as aria2 listens; a link made on its
    creation keeps the inode, so the secret can be read at leisure."""
    IN_CREATE = 0x100
    IN_MOVED_TO = 0x80

    def __init__(self, directory, keep_dir):
        self.directory, self.keep_dir = directory, keep_dir
        self.kept = []
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        if self.libc.inotify_add_watch(self.fd, directory.encode(), self.IN_CREATE | self.IN_MOVED_TO) < 0:
            raise OSError(ctypes.get_errno(), "inotify_add_watch")
        self.stopping = False
        self.thread = threading.Thread(target=self._loop, daemon=True)
        self.thread.start()

    def _loop(self):
        header = struct.calcsize("iIII")
        while not self.stopping:
            try:
                data = os.read(self.fd, 65536)
            except OSError:
                return
            at = 0
            while at + header <= len(data):
                _, _, _, length = struct.unpack_from("iIII", data, at)
                name = data[at + header:at + header + length].split(b"\0", 1)[0].decode(errors="replace")
                at += header + length
                if name.startswith(RUN_CONF_PREFIX):
                    keep = os.path.join(self.keep_dir, f"{len(self.kept)}-{name}")
                    try:
                        os.link(os.path.join(self.directory, name), keep)
                        self.kept.append(keep)
                    except OSError:
                        pass

    def secret(self):
        for path in reversed(self.kept):
            try:
                with open(path, encoding="utf-8", errors="replace") as f:
                    lines = [ln.strip() for ln in f if ln.strip().startswith("rpc-secret=")]
            except OSError:
                continue
            if lines:
                # aria2 takes the last value; so does Korvath's file.
                return lines[-1].split("=", 1)[1]
        return None

    def close(self):
        self.stopping = True
        os.close(self.fd)


class Aria2:
    def __init__(self, secret):
        self.token = "token:" + secret

    def call(self, method, *params, timeout=120, token=True):
        body = json.dumps({"jsonrpc": "2.0", "id": "bench", "method": method,
                           "params": [self.token, *params] if token else list(params)}).encode()
        request = urllib.request.Request(RPC_URL, data=body, headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=timeout) as reply:
                answer = json.loads(reply.read())
        except urllib.error.HTTPError as refused:
            # aria2 answers a refused call with 400 and the reason as JSON.
            answer = json.loads(refused.read() or b"{}") or {"error": str(refused)}
        if "error" in answer:
            raise RuntimeError(f"{method}: {answer['error']}")
        return answer["result"]

    def multicall(self, calls):
        # The token goes in each inner call; the multicall itself takes none.
        return self.call("system.multicall", [{"methodName": m, "params": [self.token, *p]} for m, p in calls],
                         token=False)

    def counts(self):
        stat = self.call("aria2.getGlobalStat")
        return {k: int(stat[k]) for k in ("numActive", "numWaiting", "numStopped", "numStoppedTotal")}


# ---- one run ----------------------------------------------------------------

class EventLog:
    """Korvath's event log, read on as it grows: a restore of 10,000 tasks
    writes as many lines, and parsing the whole file at every look would take
    the CPU the restore needs on a small machine."""

    def __init__(self, path):
        self.path, self.offset, self.events, self.partial = path, 0, [], b""

    def read(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except OSError:
            return self.events
        self.offset += len(data)
        lines = (self.partial + data).split(b"\n")
        self.partial = lines.pop()  # a line still being written
        for line in lines:
            try:
                self.events.append(json.loads(line.decode("utf-8", errors="replace")))
            except ValueError:
                pass
        return self.events

    def first(self, predicate):
        return next((e for e in self.read() if predicate(e)), None)

    def named(self, name, **fields):
        return self.first(lambda e: e.get("event") == name and all(e.get(k) == v for k, v in fields.items()))


def write_record(path, size, download_dir, base_url):
    """N tasks: even ones stay paused, odd ones are to be ended (alternately
    completing and failing with 404 from the loopback server)."""
    tasks = []
    for i in range(size):
        if i % 2 == 0:
            uri = f"{base_url}/paused/{i}.bin"
        elif i % 4 == 1:
            uri = f"{base_url}/files/{i}.bin"
        else:
            uri = f"{base_url}/missing/{i}.bin"
        tasks.append({"uris": [uri], "dir": download_dir, "out": f"task-{i}.bin", "state": "paused"})
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"version": 1, "tasks": tasks}, f)


def end_half(aria2, size, log_line):
    """Continues the odd tasks with one try each; returns when aria2 holds
    none of them as waiting or active any more."""
    waiting = aria2.call("aria2.tellWaiting", 0, size + 16, ["gid", "files"])
    ends = [t["gid"] for t in waiting
            if any("/paused/" not in u["uri"] for f in t.get("files", []) for u in f.get("uris", []))]
    if not ends:
        return 0
    options = aria2.call("aria2.getGlobalOption")
    aria2.call("aria2.changeGlobalOption", {"max-download-result": str(max(size, 1000)),
                                            "max-concurrent-downloads": "32"})
    for at in range(0, len(ends), 500):
        batch = ends[at:at + 500]
        aria2.multicall([("aria2.changeOption", [g, {"max-tries": "1"}]) for g in batch] +
                        [("aria2.unpause", [g]) for g in batch])
    started = time.monotonic()
    last = None
    while time.monotonic() - started < 1800:
        c = aria2.counts()
        if c["numActive"] == 0 and c["numWaiting"] <= size - len(ends):
            break
        if last is None or time.monotonic() - last > 15:
            log_line(f"  ending: {c['numStopped']} of {len(ends)} ended")
            last = time.monotonic()
        time.sleep(0.5)
    aria2.call("aria2.changeGlobalOption",
               {"max-concurrent-downloads": options.get("max-concurrent-downloads", "5")})
    return len(ends)


def stop(proc, aria2_pid, timeout):
    """Ends Korvath as SIGTERM does for a user; False when it had to be killed."""
    clean = True
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            clean = False
            proc.kill()
            proc.wait()
    # The next run must find port 6800 free: an aria2 left by a killed
    # Korvath is ours to end.
    if aria2_pid and (st := stat_of(aria2_pid)) and st[2] == ARIA2_NAME:
        os.kill(aria2_pid, signal.SIGTERM)
        wait_for(lambda: stat_of(aria2_pid) is None or stat_of(aria2_pid)[2] != ARIA2_NAME, 10)
    return clean


def korvath_run(program, size, base_url, args, log_line):
    home = tempfile.mkdtemp(prefix="korvath-idle-home-")
    dirs = {name: os.path.join(home, name) for name in ("work", "state", "config", "data", "run", "keep", "downloads")}
    for d in dirs.values():
        os.makedirs(d, mode=0o700)
    log_path = os.path.join(home, "events.jsonl")
    log = EventLog(log_path)
    if size:
        write_record(os.path.join(dirs["state"], "korvath", "session.json"), size, dirs["downloads"], base_url)
    env = {k: v for k, v in os.environ.items() if not k.startswith("XDG_")}
    env.update(HOME=home, XDG_STATE_HOME=dirs["state"], XDG_CONFIG_HOME=dirs["config"],
               XDG_DATA_HOME=dirs["data"], XDG_RUNTIME_DIR=dirs["run"],
               KORVATH_EVENT_LOG=log_path, KORVATH_DIALOGS="auto",
               KORVATH_NOTICE_URL=base_url + "/getpassword", KORVATH_APP_URL=base_url + "/app/")
    row = {"size": size}
    catcher = RunConfCatcher(dirs["run"], dirs["keep"])
    try:
        with MachineLock():
            launched = monotonic_ms()
            proc = subprocess.Popen([program], cwd=dirs["work"], env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            aria2_pid = None
            try:
                ready = wait_for(lambda: log.named("startup_step", step="ready"), args.timeout)
                restored = wait_for(lambda: log.named("session_restored"), args.timeout)
                if not ready or not restored:
                    row["error"] = "no ready step" if not ready else "no session_restored event"
                    return row
                row["ready_ms"] = round(ready["t_ms"] - launched)
                row["restored"] = restored.get("count")
                row["restore_failed"] = restored.get("failed")
                row["restored_ms"] = round(restored["t_ms"] - launched)
                started = log.named("aria2_started")
                aria2_pid = int(started["pid"]) if started and started.get("pid") else aria2_child_of(proc.pid)
                row["notices"] = log.named("download_notices_unavailable") is None

                secret = catcher.secret()
                aria2 = Aria2(secret) if secret else None
                ending = time.monotonic()
                row["ended"] = end_half(aria2, size, log_line) if aria2 and size else 0
                row["ending_s"] = round(time.monotonic() - ending, 1)
                if aria2 and row["ended"]:
                    stopped = aria2.call("aria2.tellStopped", 0, size + 16, ["status"])
                    row["stopped_by_status"] = dict(collections.Counter(t["status"] for t in stopped))
                row["all_paused"] = aria2 is None
                time.sleep(args.settle)

                if aria2:
                    row["before"] = aria2.counts()
                if proc.poll() is not None or not aria2_pid or stat_of(aria2_pid) is None:
                    row["error"] = "Korvath or its aria2 ended before the window"
                    return row
                k0, a0, t0 = stat_of(proc.pid)[1], stat_of(aria2_pid)[1], monotonic_ms()
                time.sleep(args.seconds)
                k1, a1, t1 = stat_of(proc.pid), stat_of(aria2_pid), monotonic_ms()
                if k1 is None or a1 is None:
                    row["error"] = "Korvath or its aria2 ended during the window"
                    return row
                seconds = (t1 - t0) / 1000.0
                row["window_s"] = round(seconds, 3)
                row["korvath_ticks"], row["aria2_ticks"] = k1[1] - k0, a1[1] - a0
                row["korvath_pct"] = 100.0 * (k1[1] - k0) / CLK_TCK / seconds
                row["aria2_pct"] = 100.0 * (a1[1] - a0) / CLK_TCK / seconds
                rpc = collections.Counter()
                failed = 0
                for e in log.read():
                    # Questions over the WebSocket (or its HTTP stand-in) count too.
                    if e.get("event") in ("rpc", "aria2_question") and t0 <= e.get("t_ms", -1) <= t1:
                        rpc[e.get("method", "?")] += 1
                        failed += not e.get("ok", True)
                row["rpc"] = dict(rpc.most_common())
                row["rpc_failed"] = failed
                if aria2:
                    row["after"] = aria2.counts()
            finally:
                stopping = time.monotonic()
                row["clean_exit"] = stop(proc, aria2_pid, args.timeout)
                row["shutdown_s"] = round(time.monotonic() - stopping, 1)
                # What the shut-down kept of the tasks for the next start.
                saved = log.named("session_saved", reason="shutdown")
                row["saved_at_shutdown"] = saved.get("count") if saved else None
    finally:
        catcher.close()
        shutil.rmtree(home, ignore_errors=True)
    return row


# ---- report -----------------------------------------------------------------

def held_text(row):
    c = row.get("after") or row.get("before")
    if not c:
        return f"{row.get('restored', 0)} paused?"
    return f"{c['numWaiting']}w {c['numActive']}a {c['numStopped']}s"


def report(rows, seconds):
    print()
    print(f"Idle CPU over {seconds:g} s, % of one core (korvath: its own process; aria2: its aria2c.exe)")
    print(f"{'tasks':>6} {'aria2 holds':>20} {'korvath %':>10} {'aria2 %':>8}   rpc calls in the window (per s)")
    for row in rows:
        if "error" in row:
            print(f"{row['size']:>6} {'-':>20} {'-':>10} {'-':>8}   {row['error']}")
            continue
        calls = ", ".join(f"{m} {n} ({n / row['window_s']:.1f})" for m, n in row["rpc"].items()) or "none"
        if row["rpc_failed"]:
            calls += f"; {row['rpc_failed']} failed"
        print(f"{row['size']:>6} {held_text(row):>20} {row['korvath_pct']:>10.2f} {row['aria2_pct']:>8.2f}   {calls}")
    print("aria2 holds: w waiting or paused, a active, s stopped (complete or error), read after the window.")
    if any(r.get("all_paused") for r in rows if r["size"]):
        print("aria2's secret could not be read: every task stayed paused (none ended).")
    if any(not r.get("notices", True) for r in rows):
        print("No notification service on the session bus: Korvath's download notices (and their polling) were off.")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", default="0,2000,10000", help="task-list sizes, comma-separated")
    parser.add_argument("--seconds", type=float, default=30.0, help="the measuring window")
    parser.add_argument("--settle", type=float, default=5.0, help="seconds of quiet before the window")
    parser.add_argument("--program", default=os.path.join(ROOT, "build/src/shell/korvath"))
    parser.add_argument("--timeout", type=float, default=900.0,
                        help="seconds to wait for the record's restore, and for the shut-down")
    parser.add_argument("--json", metavar="FILE", help="also write the figures as JSON")
    args = parser.parse_args()
    try:
        sizes = [int(s) for s in args.sizes.split(",") if s.strip()]
    except ValueError:
        parser.error("--sizes takes whole numbers separated by commas")
    if any(s < 0 for s in sizes):
        parser.error("--sizes takes no negative number")
    program = os.path.abspath(args.program)
    if not os.access(program, os.X_OK):
        sys.exit(f"no program at {program}; build first")
    run_with_display()

    # aria2 fetches up to 32 files at once while the tasks are ended; the
    # default backlog of 5 would refuse some and turn them into errors.
    http.server.ThreadingHTTPServer.request_queue_size = 128
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base_url = f"http://127.0.0.1:{server.server_address[1]}"

    def log_line(text):
        print(text, flush=True)

    rows = []
    for size in sizes:
        log_line(f"{size} tasks: starting Korvath")
        row = korvath_run(program, size, base_url, args, log_line)
        rows.append(row)
        if "error" in row:
            log_line(f"{size} tasks: {row['error']}")
        else:
            log_line(f"{size} tasks: ready at {row['ready_ms']} ms, {row['restored']} restored"
                     f" ({row['restore_failed']} refused) at {row['restored_ms']} ms,"
                     f" {row['ended']} ended in {row['ending_s']} s {row.get('stopped_by_status', '')};"
                     f" korvath {row['korvath_pct']:.2f} %, aria2 {row['aria2_pct']:.2f} %")
    server.shutdown()
    report(rows, args.seconds)
    with open("/proc/loadavg") as f:
        load = " ".join(f.read().split()[:3])
    print(f"\nload average at the end: {load}; {os.cpu_count()} cores")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump({"program": program, "seconds": args.seconds, "settle": args.settle,
                       "clk_tck": CLK_TCK, "load_average": load, "rows": rows}, f, indent=2)
            f.write("\n")


if __name__ == "__main__":
    main()
