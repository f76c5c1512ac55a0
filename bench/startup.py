#!/usr/bin/env python3
"""Start-up time, CPU and memory of Korvath beside uGet, interleaved.

Each round starts every contestant once, in an order that rotates from round
to round, each with a fresh HOME, against a notice server and an app page on
127.0.0.1. The contestants are Korvath (--program), optionally a second
Korvath build (--baseline, e.g. one built from an earlier commit) and uGet
(uget-gtk; installed with apt-get when missing, unless --no-uget). Running
them interleaved in one go keeps a comparison fair on a busy machine: every
contestant sees the same load at nearly the same time.

For each run it measures:
  - launch -> main window mapped: the X MapNotify of the first top-level
    window whose _NET_WM_PID is the program (the same way for every program);
  - launch -> ready: Korvath's "global_options_accepted" event, i.e. aria2 has
    taken the global options and a download can be handed over;
  - launch -> started: Korvath's last start-up step, when the page has the
    whole window and every start-up message has been shown;
  - the start-up broken down by "startup_step" events (Korvath only);
  - at --hold seconds (10): PSS of each process of the tree (UI, web process,
    network process, aria2, others) and CPU time used since launch;
  - Korvath: PSS --hold seconds after opening the download manager, and again
    --hold seconds after closing it.
Then, per contestant, the median and the worst case of each figure and the
ratios to the first contestant.

    bench/startup.py [ROUNDS] [--program build/src/shell/korvath]
                     [--baseline OTHER/korvath] [--compare NAME=PROGRAM ...]
                     [--no-uget] [--hold 10]

Needs an X display; without $DISPLAY it runs itself under tools/with-display.
Takes the machine-wide aria2 lock around every Korvath run.
"""
import argparse
import ctypes
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

from bench_common import CLK_TCK, ROOT, MachineLock, monotonic_ms, run_with_display, wait_for

MANAGER_BUTTON = (456, 28)  # the download-manager button in the main window


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


# ---- X: when a program's first top-level window is mapped ------------------

class XMapEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("event", ctypes.c_ulong), ("window", ctypes.c_ulong),
                ("override_redirect", ctypes.c_int)]


class XEvent(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("xmap", XMapEvent), ("pad", ctypes.c_long * 24)]


class MapWatch:
    """Records, on its own X connection, the time each top-level window is
    mapped and the pid that owns it."""
    MAP_NOTIFY = 19
    SUBSTRUCTURE_NOTIFY_MASK = 1 << 19
    XA_CARDINAL = 6

    def __init__(self):
        self.x = ctypes.CDLL("libX11.so.6")
        self.x.XOpenDisplay.restype = ctypes.c_void_p
        self.x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x.XDefaultRootWindow.restype = ctypes.c_ulong
        self.x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        self.x.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
        self.x.XFlush.argtypes = [ctypes.c_void_p]
        self.x.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.POINTER(XEvent)]
        self.x.XInternAtom.restype = ctypes.c_ulong
        self.x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        self.x.XGetWindowProperty.argtypes = [
            ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_long, ctypes.c_long, ctypes.c_int,
            ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_int),
            ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_ulong),
            ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong))]
        self.x.XFree.argtypes = [ctypes.c_void_p]
        self.display = self.x.XOpenDisplay(None)
        if not self.display:
            sys.exit("cannot open the X display")
        self.pid_atom = self.x.XInternAtom(self.display, b"_NET_WM_PID", 0)
        self.x.XSelectInput(self.display, self.x.XDefaultRootWindow(self.display), self.SUBSTRUCTURE_NOTIFY_MASK)
        self.x.XFlush(self.display)
        self.lock = threading.Lock()
        self.mapped = []  # (t_ms, pid, window)
        threading.Thread(target=self._loop, daemon=True).start()

    def _pid_of(self, window):
        kind, fmt = ctypes.c_ulong(), ctypes.c_int()
        count, after = ctypes.c_ulong(), ctypes.c_ulong()
        data = ctypes.POINTER(ctypes.c_ulong)()
        ok = self.x.XGetWindowProperty(self.display, window, self.pid_atom, 0, 1, 0, self.XA_CARDINAL,
                                       ctypes.byref(kind), ctypes.byref(fmt), ctypes.byref(count),
                                       ctypes.byref(after), ctypes.byref(data))
        pid = 0
        if ok == 0 and data:
            if count.value >= 1:
                pid = int(data[0])
            self.x.XFree(data)
        return pid

    def _loop(self):
        event = XEvent()
        while True:
            self.x.XNextEvent(self.display, ctypes.byref(event))
            if event.type != self.MAP_NOTIFY or event.xmap.override_redirect:
                continue
            t = monotonic_ms()
            pid = self._pid_of(event.xmap.window)
            with self.lock:
                self.mapped.append((t, pid, event.xmap.window))

    def first_map(self, pid, since):
        with self.lock:
            return next((t for t, p, _ in self.mapped if p == pid and t >= since), None)


# ---- processes --------------------------------------------------------------

def process_table():
    table = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        rest = stat[stat.rindex(")") + 2:].split()
        # Fields from the state on: ppid is 1, utime 11, stime 12, cutime 13, cstime 14.
        table[int(entry)] = (int(rest[1]), [int(v) for v in rest[11:15]])
    return table


def tree_of(pid, table):
    kids = {}
    for p, (ppid, _) in table.items():
        kids.setdefault(ppid, []).append(p)
    tree, todo = [], [pid]
    while todo:
        p = todo.pop()
        if p in table:
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


def role_of(pid, root):
    if pid == root:
        return "ui"
    name = name_of(pid).lower()
    if name.startswith("aria2c"):
        return "aria2"
    # comm holds 15 characters: "WebKitWebProces", "WebKitNetworkPr".
    if name.startswith("webkitwebproc"):
        return "web"
    if name.startswith("webkitnetwork"):
        return "network"
    return "other"


def snapshot(root):
    """PSS in MB by role and CPU ms used by the tree (aria2 apart)."""
    table = process_table()
    pss, cpu = {}, {}
    for p in tree_of(root, table):
        role = role_of(p, root)
        pss[role] = pss.get(role, 0.0) + pss_kib(p) / 1024.0
        times = table[p][1]
        # The root's cutime/cstime hold helpers it already waited for.
        ticks = sum(times) if p == root else times[0] + times[1]
        cpu[role] = cpu.get(role, 0.0) + ticks * 1000.0 / CLK_TCK
    out = {f"pss_{r}": v for r, v in pss.items()}
    out["pss_total"] = sum(v for r, v in pss.items() if r != "aria2")
    out["cpu"] = sum(v for r, v in cpu.items() if r != "aria2")
    out["cpu_aria2"] = cpu.get("aria2", 0.0)
    return out


# ---- runs -------------------------------------------------------------------

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


def sleep_until(start_ms, seconds):
    time.sleep(max(0.0, seconds - (monotonic_ms() - start_ms) / 1000.0))


def fresh_env(home):
    env = {k: v for k, v in os.environ.items() if not k.startswith("XDG_") or k == "XDG_RUNTIME_DIR"}
    env["HOME"] = home
    return env


def stop(proc):
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=20)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def click(window, x, y):
    subprocess.run(["xdotool", "mousemove", "--window", str(window), str(x), str(y), "click", "1"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def manager_event(log, action):
    return any(e.get("event") == "window" and e.get("name") == "download_manager" and e.get("action") == action
               for e in read_events(log))


def korvath_run(program, base_url, watch, hold):
    home = tempfile.mkdtemp(prefix="korvath-bench-home-")
    workdir = os.path.join(home, "work")
    os.mkdir(workdir)
    log = os.path.join(home, "events.jsonl")
    env = fresh_env(home)
    env.update(KORVATH_EVENT_LOG=log, KORVATH_DIALOGS="auto",
               KORVATH_NOTICE_URL=base_url + "/getpassword", KORVATH_APP_URL=base_url + "/app/")
    row = {}
    try:
        with MachineLock():
            launched = monotonic_ms()
            proc = subprocess.Popen([program], cwd=workdir, env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                accepted = wait_for(lambda: next((e for e in read_events(log)
                                                  if e.get("event") == "global_options_accepted"), None), 30)
                if accepted:
                    row["ready"] = accepted["t_ms"] - launched
                sleep_until(launched, hold)
                mapped = watch.first_map(proc.pid, launched)
                if mapped is not None:
                    row["mapped"] = mapped - launched
                row.update(snapshot(proc.pid))
                for e in read_events(log):
                    if e.get("event") == "startup_step":
                        row.setdefault("steps", {}).setdefault(e.get("step"), e["t_ms"] - launched)
                if "ready" in row.get("steps", {}):
                    row["started"] = row["steps"]["ready"]
                main = next((w for t, p, w in watch.mapped if p == proc.pid and t >= launched), None)
                if main:
                    opened = monotonic_ms()
                    click(main, *MANAGER_BUTTON)
                    if wait_for(lambda: manager_event(log, "opened"), 5):
                        sleep_until(opened, hold)
                        row["pss_manager"] = snapshot(proc.pid)["pss_total"]
                        closed = monotonic_ms()
                        click(main, *MANAGER_BUTTON)
                        if wait_for(lambda: manager_event(log, "closed"), 5):
                            sleep_until(closed, hold)
                            row["pss_closed"] = snapshot(proc.pid)["pss_total"]
            finally:
                stop(proc)
    finally:
        shutil.rmtree(home, ignore_errors=True)
    return row


def uget_run(base_url, watch, hold):
    home = tempfile.mkdtemp(prefix="uget-bench-home-")
    row = {}
    try:
        launched = monotonic_ms()
        proc = subprocess.Popen(["uget-gtk"], cwd=home, env=fresh_env(home),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            sleep_until(launched, hold)
            mapped = watch.first_map(proc.pid, launched)
            if mapped is not None:
                row["mapped"] = mapped - launched
            row.update(snapshot(proc.pid))
        finally:
            stop(proc)
    finally:
        shutil.rmtree(home, ignore_errors=True)
    return row


def ensure_uget():
    if shutil.which("uget-gtk"):
        return True
    print("uget-gtk is missing: installing the Debian package uget (a yardstick only)", flush=True)
    command = ["apt-get", "install", "-y", "--no-install-recommends", "uget"]
    if os.geteuid() != 0:
        command = ["sudo", "-n"] + command
    subprocess.run(command, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return shutil.which("uget-gtk") is not None


# ---- report -----------------------------------------------------------------

FIGURES = [
    ("mapped", "launch -> main window mapped", "ms"),
    ("ready", "launch -> global options accepted", "ms"),
    ("started", "launch -> start-up steps all done", "ms"),
    ("pss_total", "PSS at hold, without aria2", "MB"),
    ("pss_ui", "  UI process", "MB"),
    ("pss_web", "  web process", "MB"),
    ("pss_network", "  network process", "MB"),
    ("pss_other", "  other processes", "MB"),
    ("pss_aria2", "  aria2 (not counted above)", "MB"),
    ("pss_manager", "PSS with the manager open", "MB"),
    ("pss_closed", "PSS after closing the manager", "MB"),
    ("cpu", "CPU from launch to hold, w/o aria2", "ms"),
    ("cpu_aria2", "  aria2's CPU (not counted above)", "ms"),
]


def column(rows, key):
    return [r[key] for r in rows if key in r]


def cell(values):
    if not values:
        return f"{'-':>20}"
    return f"{statistics.median(values):9.1f} (max {max(values):6.0f})"


def report(names, results, hold):
    print()
    print(f"Medians (worst case) over {max(len(r) for r in results.values())} rounds; hold {hold:g} s")
    header = f"{'':<38}" + "".join(f"{n:>22}" for n in names)
    if len(names) > 1:
        header += "".join(f"{n + '/' + names[0]:>24}" for n in names[1:])
    print(header)
    for key, label, unit in FIGURES:
        line = f"{label + ' (' + unit + ')':<38}"
        medians = []
        for n in names:
            values = column(results[n], key)
            line += f"{cell(values):>22}"
            medians.append(statistics.median(values) if values else None)
        for m in medians[1:]:
            ratio = f"{m / medians[0]:.2f}x" if m is not None and medians[0] else "-"
            line += f"{ratio:>24}"
        if any(m is not None for m in medians):
            print(line)

    for n in names:
        steps = [r["steps"] for r in results[n] if "steps" in r]
        if not steps:
            continue
        order = sorted({s for r in steps for s in r}, key=lambda s: statistics.median(
            [r[s] for r in steps if s in r]))
        print()
        print(f"Start-up of {n} by step (ms since launch: median, worst; step: median time since the previous one)")
        previous = None
        for s in order:
            at = [r[s] for r in steps if s in r]
            gap = [r[s] - r[previous] for r in steps if s in r and previous in r] if previous else at
            # A step some runs skip may share no run with the one before it.
            step = f"{statistics.median(gap):7.1f}" if gap else f"{'-':>7}"
            print(f"  {s:<22} at {statistics.median(at):7.1f}  worst {max(at):7.1f}   step {step}")
            previous = s


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("rounds", nargs="?", type=int, default=10)
    parser.add_argument("--program", default=os.path.join(ROOT, "build/src/shell/korvath"))
    parser.add_argument("--baseline", help="a second Korvath program, run interleaved as 'baseline'")
    parser.add_argument("--compare", action="append", default=[], metavar="NAME=PROGRAM",
                        help="a further Korvath program under its own name (may be repeated)")
    parser.add_argument("--no-uget", action="store_true", help="leave uGet out")
    parser.add_argument("--hold", type=float, default=10.0, help="seconds before each memory and CPU reading")
    args = parser.parse_args()
    run_with_display()

    contestants = []
    others = [tuple(c.split("=", 1)) for c in args.compare if "=" in c]
    for name, path in [("korvath", args.program), ("baseline", args.baseline)] + others:
        if path is None:
            continue
        path = os.path.abspath(path)
        if not os.access(path, os.X_OK):
            sys.exit(f"no program at {path}; build first")
        contestants.append((name, path))
    if not args.no_uget:
        if ensure_uget():
            contestants.append(("uget", None))
        else:
            print("uGet could not be installed; measuring Korvath alone", flush=True)

    watch = MapWatch()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base_url = f"http://127.0.0.1:{server.server_address[1]}"

    names = [n for n, _ in contestants]
    results = {n: [] for n in names}
    print(f"{'round':>5} {'who':<9} {'mapped':>7} {'ready':>7} {'PSS':>7} {'UI':>6} {'web':>6} {'net':>6}"
          f" {'+mgr':>7} {'closed':>7} {'CPU':>6}   (ms, MB)")
    for i in range(args.rounds):
        # Rotating the order keeps any drift of the machine's load from
        # always favouring the same contestant.
        shift = i % len(contestants)
        for name, path in contestants[shift:] + contestants[:shift]:
            row = uget_run(base_url, watch, args.hold) if path is None else korvath_run(
                path, base_url, watch, args.hold)
            results[name].append(row)

            def f(key, width, digits=0):
                return f"{row[key]:>{width}.{digits}f}" if key in row else f"{'-':>{width}}"
            print(f"{i + 1:>5} {name:<9} {f('mapped', 7)} {f('ready', 7)} {f('pss_total', 7, 1)}"
                  f" {f('pss_ui', 6, 1)} {f('pss_web', 6, 1)} {f('pss_network', 6, 1)}"
                  f" {f('pss_manager', 7, 1)} {f('pss_closed', 7, 1)} {f('cpu', 6)}", flush=True)
    server.shutdown()
    report(names, results, args.hold)
    with open("/proc/loadavg") as f:
        print(f"\nload average at the end: {' '.join(f.read().split()[:3])}")


if __name__ == "__main__":
    main()
