#!/usr/bin/python3
"""The benchmark run of ./run bench: the echo exchange of the reader link
through our link code and serchan32, natively and under Wine, beside peers
(pyserial; a host that reads each answer piece with one read) on the same
reader simulator in the same run, paced at 115200 and 921600 baud (and
natively at 12 Mbaud, a fast USB adapter's line) and unpaced; readertest's idle CPU and memory; where the time goes under Wine.
Writes its tables into docs/bench.md (between the echo results markers) and
the echo measurements into bench/results.json, which bench/plot_bench.py
draws. Compare ratios within one run: the machines are shared and noisy.
"""
import datetime
import json
import os
import platform
import re
import select
import subprocess
import sys
import time

from bench_page import write_section

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NATIVE = os.path.join(ROOT, "build/native/bin")
# The Windows rows measure the 64-bit tree under 64-bit Wine, in its prefix.
WINDOWS_TREE = "win64"
WINDOWS = os.path.join(ROOT, "build", WINDOWS_TREE, "bin")
WINE_PREFIX = os.path.join(ROOT, "build/wine64")
WINE_SERVER = "/usr/lib/wine/wineserver64"
WINE_LOADER = "/usr/lib/wine/wine64"
# How the tables name each build: the Wine rows by the tree they measured.
SHOWN = {"native": "native", "wine": "%s, Wine" % WINDOWS_TREE}
BED = os.path.join(ROOT, "build/bed")
WINE_RUN = os.path.join(ROOT, "tools/wine-run")
PAYLOADS = [0, 16, 255, 1019]
BAUDS = [115200, 921600]
# Natively also a fast USB adapter's line.
NATIVE_BAUDS = BAUDS + [12000000]
# The bench's port in the test bed's table (tools/bed-ports), simN in Wine's prefix.
COM = int(re.search(r"^sim_bench=(\d+)", open(os.path.join(ROOT, "tools/bed-ports")).read(), re.M)[1])
LINK = os.path.join(BED, "sim%d" % COM)
TICK = os.sysconf("SC_CLK_TCK")

# The hosts of the echo exchange: name, build, command before the usual
# arguments (SECONDS PAYLOAD... follow the device and baud).
HOSTS = [
    ("ours", "native", lambda baud: [os.path.join(NATIVE, "link_echo"), str(COM), str(baud)]),
    ("pyserial", "native", lambda baud: ["/usr/bin/python3", os.path.join(ROOT, "bench/peer_pyserial.py"),
                                         LINK, str(baud)]),
    ("piece", "native", lambda baud: [os.path.join(NATIVE, "piece_host"), LINK, str(baud)]),
    # Ours with the library's trace written to a file (unpaced only).
    ("traced", "native", lambda baud: [os.path.join(NATIVE, "link_echo"), str(COM), str(baud)]),
    ("ours", "wine", lambda baud: [WINE_RUN, os.path.join(WINDOWS, "link_echo.exe"), str(COM), str(baud)]),
    ("piece", "wine", lambda baud: [WINE_RUN, os.path.join(WINDOWS, "piece_host.exe"), str(COM), str(baud)]),
]
# Seconds of measuring per payload (five runs each round); the Wine rows are
# slow. The native hosts take turns, ROUNDS times.
SECONDS = {"native": 2.4, "wine": 3.0}
ROUNDS = 3


TRACE = os.path.join(BED, "bench_trace.txt")


def environment(host=None):
    env = dict(os.environ)
    env["SERCHAN32_COM%d" % COM] = LINK
    env.pop("SERCHAN32_TRACE", None)
    if host == "traced":
        # Unbounded here, so that every exchange of the run is traced.
        env["SERCHAN32_TRACE"] = TRACE
        env["SERCHAN32_TRACE_MAX"] = str(1 << 40)
    return env


def cpu_of(pid):
    """CPU seconds (user + system) of a process, all its threads."""
    try:
        with open("/proc/%d/stat" % pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICK
    except OSError:
        return 0.0


def peak_memory_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as status:
            match = re.search(r"VmHWM:\s+(\d+)", status.read())
        return int(match.group(1)) if match else 0
    except OSError:
        return 0


def wineserver_pid():
    prefix = "WINEPREFIX=" + WINE_PREFIX
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/comm" % entry) as comm:
                if not comm.read().startswith("wineserver"):
                    continue
            with open("/proc/%s/environ" % entry, "rb") as environ:
                if prefix.encode() in environ.read().split(b"\0"):
                    return int(entry)
        except OSError:
            continue
    return None


class Simulator:
    """readersim on build/bed/simN, paced at baud or not."""

    def __init__(self, baud=None, link=LINK, extra=()):
        command = [os.path.join(NATIVE, "readersim"), "--link", link] + list(extra)
        if baud:
            command += ["--pace", "--baud", str(baud)]
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
        self.process.stdout.readline()  # its pty: it is up

    def peak_kib(self):
        return peak_memory_kib(self.process.pid)

    def stop(self):
        self.process.terminate()
        self.process.wait()


def run_host(host, build, baud, seconds, payloads):
    """Runs one host; its lines by payload and the wineserver's CPU meanwhile."""
    server = wineserver_pid() if build == "wine" else None
    server_cpu = cpu_of(server) if server else 0.0
    command = HOSTS_BY_NAME[(host, build)](baud) + [str(seconds)] + [str(p) for p in payloads]
    output = subprocess.run(command, env=environment(host), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            timeout=600).stdout.decode()
    if host == "traced" and os.path.exists(TRACE):
        os.remove(TRACE)
    rows = {}
    for line in output.splitlines():
        fields = dict(item.split("=") for item in line.split())
        rows[int(fields["payload"])] = {k: float(v) for k, v in fields.items()}
    return rows, (cpu_of(server) - server_cpu if server else 0.0)


def merge_rounds(rounds):
    """One row per payload from several rounds: the median time, the mean CPU."""
    rows = {}
    for payload in rounds[0]:
        taken = [r[payload] for r in rounds if payload in r]
        row = dict(taken[0])
        row["seconds"] = sorted(t["seconds"] for t in taken)[len(taken) // 2]
        row["exchanges"] = sum(t["exchanges"] for t in taken)
        row["failed"] = sum(t["failed"] for t in taken)
        row["cpu"] = sum(t["cpu"] * t["exchanges"] for t in taken) / row["exchanges"]
        rows[payload] = row
    return rows


def measure_native(baud, paced):
    """The native hosts on one simulator, in interleaved rounds, so that the
    machine's changing load falls on all of them alike."""
    sim = Simulator(baud if paced else None)
    rounds = {host: [] for host, build, _ in HOSTS if build == "native" and (host != "traced" or not paced)}
    for _ in range(ROUNDS):
        for host in rounds:
            rows, _ = run_host(host, "native", baud, SECONDS["native"] / ROUNDS, PAYLOADS)
            rounds[host].append(rows)
    peak = sim.peak_kib()
    sim.stop()
    return {host: merge_rounds(r) for host, r in rounds.items()}, peak


def measure_wine(host, baud, paced):
    """One Wine host over all payloads: a dict per payload, and readersim's
    peak memory. Each payload runs in a process of its own, so that the
    wineserver's CPU is told per payload, less what a start-up costs it."""
    sim = Simulator(baud if paced else None)
    _, start_up = run_host(host, "wine", baud, 0.001, [0])
    rows = {}
    for payload in PAYLOADS:
        row, server_cpu = run_host(host, "wine", baud, SECONDS["wine"], [payload])
        if payload in row:
            row[payload]["server_cpu"] = max(0.0, server_cpu - start_up) / row[payload]["exchanges"]
            rows.update(row)
    peak = sim.peak_kib()
    sim.stop()
    return rows, peak


HOSTS_BY_NAME = {(name, build): command for name, build, command in HOSTS}


def line_time(baud, payload):
    return 2 * (5 + payload) * 10 / baud


def idle(build, mode):
    """readertest's CPU over 5 s at the prompt (mode None) or in the ESC wait
    after the complex test's verdict (mode "T"); and its peak memory."""
    port = COM
    link = os.path.join(BED, "sim%d" % port)
    # Both cards leave as they are powered down, so the complex test ends.
    sim = Simulator(link=link, extra=["--remove-on-power-down"])
    if build == "native":
        command = ["env", "SERCHAN32_COM%d=%s" % (port, link), os.path.join(NATIVE, "readertest")]
    else:
        command = [WINE_RUN, os.path.join(WINDOWS, "readertest.exe")]
    command += [str(port), "115200"] + ([mode] if mode else [])
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
    # Prompt or verdict text, in the UTF-8 that a pipe gets.
    awaited = "Enter command->".encode() if mode is None else "тестирован".encode()
    seen = b""
    deadline = time.monotonic() + 30
    while awaited not in seen and time.monotonic() < deadline:
        ready, _, _ = select.select([process.stdout], [], [], 1)
        if ready:
            chunk = os.read(process.stdout.fileno(), 4096)
            if not chunk:
                break
            seen += chunk
    pid = program_pid(process.pid)
    server = wineserver_pid() if build == "wine" else None
    time.sleep(0.5)
    start = cpu_of(pid), (cpu_of(server) if server else 0.0)
    time.sleep(5)
    used = cpu_of(pid) - start[0], (cpu_of(server) - start[1] if server else None)
    peak = peak_memory_kib(pid)
    process.stdin.close()  # end of input ends readertest, from any wait
    try:
        process.wait(timeout=30)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
    sim.stop()
    return used, peak, awaited in seen


def idle_comm_wait():
    """CPU over 5 s of a Windows program that only keeps a WaitCommEvent for
    line errors pending on a port, as the library's watcher does: Wine's
    share of the idle figures."""
    port = COM
    sim = Simulator(link=os.path.join(BED, "sim%d" % port))
    process = subprocess.Popen([WINE_RUN, os.path.join(WINDOWS, "comm_wait_idle.exe"), str(port), "9"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    process.stdout.readline()
    pid = process.pid
    time.sleep(0.5)
    start = cpu_of(pid)
    time.sleep(5)
    used = cpu_of(pid) - start
    process.wait(timeout=30)
    sim.stop()
    return used


def program_pid(pid):
    """The readertest process itself: env and Wine's loader exec it in place,
    but look for a child in case a launcher stays."""
    for _ in range(20):
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as cmdline:
                if b"readertest" in cmdline.read():
                    return pid
        except OSError:
            pass
        time.sleep(0.1)
    return pid


def wine_requests(payload=16, seconds=1.0):
    """Wine server requests per exchange, by kind: the server restarted in its
    debug mode for one run of our host, unpaced."""
    env = environment()
    subprocess.run([WINE_SERVER, "-k"], env=wine_env(), stderr=subprocess.DEVNULL)
    subprocess.run([WINE_SERVER, "-w"], env=wine_env(), stderr=subprocess.DEVNULL)
    log_path = os.path.join(BED, "wineserver-requests.log")
    with open(log_path, "w") as log:
        server = subprocess.Popen([WINE_SERVER, "-f", "-d1"], env=wine_env(), stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=log)
        time.sleep(0.5)
        # Start-up requests are counted apart: a run without exchanges first.
        sim = Simulator()
        subprocess.run([WINE_RUN, os.path.join(WINDOWS, "link_echo.exe"), str(COM), "115200", "0.001"],
                       env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        log.flush()
        time.sleep(0.5)
        mark = os.path.getsize(log_path)
        output = subprocess.run([WINE_RUN, os.path.join(WINDOWS, "link_echo.exe"), str(COM), "115200",
                                 str(seconds), str(payload)], env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, timeout=120).stdout.decode()
        sim.stop()
    subprocess.run([WINE_SERVER, "-k"], env=wine_env(), stderr=subprocess.DEVNULL)
    server.wait()
    subprocess.run([WINE_RUN, "cmd", "/c", "exit"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)  # the usual server again
    fields = dict(item.split("=") for item in output.split())
    exchanges = int(fields["exchanges"])
    with open(log_path, errors="replace") as log:
        start_up = count_requests(log.read(mark))
        measured = count_requests(log.read())
    os.remove(log_path)
    # What the measured run asked beyond a run that starts, opens and ends.
    counts = {kind: measured[kind] - start_up.get(kind, 0) for kind in measured}
    signals = counts.pop("*sent signal*", 0)
    return exchanges, {k: v for k, v in counts.items() if v > 0}, signals


def count_requests(text):
    counts = {}
    for line in text.splitlines():
        match = re.match(r"[0-9a-f]+: ([a-z_]+)\(", line)
        kind = match.group(1) if match else "*sent signal*" if "*sent signal*" in line else None
        if kind:
            counts[kind] = counts.get(kind, 0) + 1
    return counts


def wine_services():
    """Wine's service processes in the project's prefix (winedevice.exe and the like)."""
    prefix = ("WINEPREFIX=" + WINE_PREFIX).encode()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as cmdline:
                if b"system32" not in cmdline.read():
                    continue
            with open("/proc/%s/environ" % entry, "rb") as environ:
                if prefix in environ.read().split(b"\0"):
                    found.append(int(entry))
        except OSError:
            continue
    return found


def wine_env():
    env = dict(os.environ)
    env.update(WINEPREFIX=WINE_PREFIX, WINEDEBUG="-all", WINEARCH="win64", WINELOADER=WINE_LOADER,
               WINESERVER=WINE_SERVER)
    return env


def main():
    started = time.monotonic()
    results = {}
    sim_peak = 0
    # Native rows first, with Wine's server idle.
    for baud in NATIVE_BAUDS + [None]:
        by_host, peak = measure_native(baud or 115200, baud is not None)
        for host, rows in by_host.items():
            results[(host, "native", baud)] = rows
        sim_peak = max(sim_peak, peak)
        print("measured the native hosts, %s" % ("%d paced" % baud if baud else "unpaced"), file=sys.stderr)
    # The server up before its CPU is read.
    subprocess.run([WINE_RUN, "cmd", "/c", "exit"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    for host, build, _ in HOSTS:
        if build != "wine":
            continue
        for baud in BAUDS + [None]:
            rows, peak = measure_wine(host, baud or 115200, baud is not None)
            results[(host, build, baud)] = rows
            sim_peak = max(sim_peak, peak)
            print("measured %s under Wine, %s" % (host, "%d paced" % baud if baud else "unpaced"),
                  file=sys.stderr)
    # What Wine's server and services use with no program of ours running.
    services = [p for p in (wineserver_pid(), *wine_services()) if p]
    before = sum(cpu_of(p) for p in services)
    time.sleep(5)
    background = sum(cpu_of(p) for p in services) - before
    idles = {}
    for build in ("native", "wine"):
        for mode in (None, "T"):
            idles[(build, mode)] = idle(build, mode)
    comm_wait = idle_comm_wait()
    exchanges, requests, signals = wine_requests()
    write_results(results, sim_peak, idles, (background, comm_wait), (exchanges, requests, signals),
                  time.monotonic() - started)


def write_results(results, sim_peak, idles, background, wine, took):
    out = []
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as info:
        match = re.search(r"model name\s*:\s*(.*)", info.read())
        if match:
            cpu = match.group(1)
    wine_version = subprocess.run([WINE_LOADER, "--version"], stdout=subprocess.PIPE).stdout.decode().strip()
    run = "%s UTC, %s, %d cores (%s), Linux %s, %s" % (
        datetime.datetime.utcnow().strftime("%Y-%m-%d %H:%M"), platform.node() or "host", os.cpu_count(), cpu,
        platform.release(), wine_version)
    out.append("%s. Written by `./run bench` (bench/run_bench.py) in %.0f s.\n" % (run, took))
    out.append("Echo exchanges (command 0x3F) with readersim on a pseudo-terminal, `--pace --baud B` "
               "(answers and commands take the line's byte time) or unpaced. Efficiency = the line's own "
               "time for the exchange, 2 x (5 + n) bytes x 10 bits / baud, over the measured time "
               "(median of 5 runs). CPU: the host process's user + system time per 1000 exchanges; under "
               "Wine, + the wineserver's share. Hosts: **ours** = readertest's link code and serchan32 "
               "(`bench/link_echo.cpp`); **pyserial** = the same exchange with Debian's python3-serial "
               "(`bench/peer_pyserial.py`); **piece** = a minimal host reading each answer piece with one "
               "read (`bench/piece_host_posix.cpp`: termios; `bench/piece_host_win32.cpp`: one overlapped "
               "ReadFile per piece).\n")
    out.append("Commands (`build/bed/sim{0}` is COM{0} in the Wine prefix; the number is the bench's row "
               "of `tools/bed-ports`):\n".format(COM))
    out.append(("```\nbuild/native/bin/readersim --link build/bed/sim{0} [--pace --baud B]\n"
                "SERCHAN32_COM{0}=build/bed/sim{0} build/native/bin/link_echo {0} B 2 0 16 255 1019\n"
                "/usr/bin/python3 bench/peer_pyserial.py build/bed/sim{0} B 2 0 16 255 1019\n"
                "build/native/bin/piece_host build/bed/sim{0} B 2 0 16 255 1019\n"
                "tools/wine-run $PWD/build/win64/bin/link_echo.exe {0} B 4 0 16 255 1019\n"
                "tools/wine-run $PWD/build/win64/bin/piece_host.exe {0} B 4 0 16 255 1019\n```\n").format(COM))
    out.append("| line | payload | build | ours ex/s | ours B/s | ours eff. | ours CPU s/1000 | "
               "pyserial eff. | piece eff. | ours/pyserial | ours/piece | pyserial CPU s/1000 | "
               "piece CPU s/1000 |")
    out.append("|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for baud in NATIVE_BAUDS + [None]:
        for build in ("native", "wine"):
            for payload in PAYLOADS:
                ours = results.get(("ours", build, baud), {}).get(payload)
                piece = results.get(("piece", build, baud), {}).get(payload)
                py = results.get(("pyserial", build, baud), {}).get(payload)
                if ours is None:
                    continue
                line = "%d paced" % baud if baud else "unpaced"

                def rate(row):
                    return 1 / row["seconds"] if row else 0

                def eff(row):
                    return "%.3f" % (line_time(baud, payload) / row["seconds"]) if row and baud else "–"

                def cpu(row):
                    if not row:
                        return "–"
                    return "%.3f" % ((row["cpu"] + row.get("server_cpu", 0)) * 1000)

                def ratio(row):
                    return "%.3g" % (rate(ours) / rate(row)) if row else "–"

                out.append("| %s | %d | %s | %.1f | %.0f | %s | %s | %s | %s | %s | %s | %s | %s |" % (
                    line, payload, SHOWN[build], rate(ours), rate(ours) * payload, eff(ours), cpu(ours), eff(py),
                    eff(piece), ratio(py), ratio(piece), cpu(py), cpu(piece)))
    out.append("\nRatios are of exchange rates measured in the same run (above 1: ours is faster). "
               "A failed exchange counts in its run's time; failures: %s.\n" % failures(results))
    out.append("## The trace's cost\n")
    out.append("Ours unpaced, natively, with `SERCHAN32_TRACE` writing every block to a file on this machine's "
               "disk (`build/bed/bench_trace.txt`, `SERCHAN32_TRACE_MAX` raised so that the whole run is traced), "
               "against ours without it, in the same rounds. Each exchange is 10 lines without data, "
               "12 with it (the command in its pieces, the answer read field by field), each one write:\n")
    out.append("| payload | ours ex/s | traced ex/s | traced/ours | ours CPU s/1000 | traced CPU s/1000 |")
    out.append("|---:|---:|---:|---:|---:|---:|")
    for payload in PAYLOADS:
        ours = results.get(("ours", "native", None), {}).get(payload)
        traced = results.get(("traced", "native", None), {}).get(payload)
        if ours and traced:
            out.append("| %d | %.1f | %.1f | %.3g | %.3f | %.3f |" % (
                payload, 1 / ours["seconds"], 1 / traced["seconds"], ours["seconds"] / traced["seconds"],
                ours["cpu"] * 1000, traced["cpu"] * 1000))
    out.append("")
    out.append("## Idle and memory\n")
    out.append("readertest on a pipe (stdin held open, nothing typed) against readersim, CPU over 5 s "
               "from /proc/PID/stat (all threads); under Wine also the wineserver's. Peak resident memory "
               "(VmHWM).\n")
    out.append("| build | wait | readertest CPU in 5 s | % of one core | wineserver CPU in 5 s | "
               "readertest peak RSS |")
    out.append("|---|---|---:|---:|---:|---:|")
    for (build, mode), ((used, server), peak, reached) in idles.items():
        wait = "command prompt" if mode is None else "ESC wait after the verdict (mode T)"
        if not reached:
            wait += " (not reached)"
        out.append("| %s | %s | %.2f s | %.2f%% | %s | %d KiB |" % (
            SHOWN[build], wait, used, used / 5 * 100, "%.2f s" % server if server is not None else "–", peak))
    out.append("\nUnder Wine, a program that does nothing but keep a `WaitCommEvent` for line errors "
               "pending on a port (`bench/comm_wait_idle_win32.cpp`, as serchan32's watcher thread keeps "
               "one on every open port) used %.2f s of CPU in 5 s (%.2f%% of one core): Wine serves that "
               "wait by polling the line every millisecond in a thread of its own, which is most of "
               "readertest's idle figure there. With no program of ours running, Wine's server and its "
               "services (winedevice.exe) used %.2f s of CPU in 5 s; the wineserver column includes its "
               "share of that. readersim peak RSS over the runs: %d KiB.\n"
               % (background[1], background[1] / 5 * 100, background[0], sim_peak))
    exchanges, requests, signals = wine
    total = sum(requests.values())
    out.append("## Where the time goes under Wine\n")
    out.append("Requests to the Wine server per exchange, by kind (our host, 16-byte payload, unpaced; "
               "`wineserver -f -d1`, start-up excluded); each 16-byte echo reads 21 bytes, one ReadFile "
               "each. Every request is a round trip to the server process; `*sent signal*` is the server "
               "interrupting the thread to complete an asynchronous read.\n")
    out.append("| request | per exchange | per byte read |")
    out.append("|---|---:|---:|")
    for name, count in sorted(requests.items(), key=lambda item: -item[1])[:10]:
        out.append("| %s | %.1f | %.2f |" % (name, count / exchanges, count / exchanges / 21))
    out.append("| all requests | %.1f | %.2f |" % (total / exchanges, total / exchanges / 21))
    out.append("| signals sent | %.1f | %.2f |" % (signals / exchanges, signals / exchanges / 21))
    text = "\n".join(out) + "\n"
    write_section("echo", text)
    write_data(results, run)
    print(text)


def failures(results):
    failed = sum(row["failed"] for rows in results.values() for row in rows.values())
    exchanges = sum(row["exchanges"] for rows in results.values() for row in rows.values())
    return "%d of %d exchanges" % (failed, exchanges)


def write_data(results, run, path=os.path.join(ROOT, "bench/results.json")):
    """The echo measurements, one entry per host, build, line and payload, for
    bench/plot_bench.py: line is the baud rate, null unpaced; efficiency as in
    the tables, null unpaced; cpu_ms the CPU per exchange (under Wine with the
    wineserver's share), as the tables' s/1000."""
    rows = []
    for baud in NATIVE_BAUDS + [None]:
        for build in ("native", "wine"):
            for host in ("ours", "pyserial", "piece", "traced"):
                for payload, row in sorted(results.get((host, build, baud), {}).items()):
                    rows.append({
                        "line": baud, "payload": payload, "build": build, "host": host,
                        "exchanges_per_s": round(1 / row["seconds"], 1),
                        "efficiency": round(line_time(baud, payload) / row["seconds"], 3) if baud else None,
                        "cpu_ms": round((row["cpu"] + row.get("server_cpu", 0)) * 1000, 3)})
    # One row a line, so that a new run's changes read as lines in a diff.
    with open(path, "w") as data:
        data.write('{"run": %s,\n "echo": [\n' % json.dumps(run, ensure_ascii=False))
        data.write(",\n".join("  " + json.dumps(row) for row in rows))
        data.write("\n ]\n}\n")


if __name__ == "__main__":
    main()
