#!/usr/bin/python3
"""Many readers and remote readers, for ./run bench; writes its tables into
docs/bench.md (between the readers results markers).

- Eight readers at once: readerscript on one reader, then on eight readersims
  at once, each paced at 115200 baud; the aggregate rate against eight times
  one reader's.
- Through ser2net on loopback (RFC 2217, `chardelay: false`, `tcp(nodelay)`),
  unpaced: the echo exchange of our link code and serchan32 on a COM port
  mapped to rfc2217://127.0.0.1:PORT beside pyserial's rfc2217:// client, in
  the same run: exchanges per second and CPU per exchange.
"""
import datetime
import os
import socket
import subprocess
import sys
import tempfile
import time

from bench_page import write_section

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NATIVE = os.path.join(ROOT, "build/native/bin")
sys.path.insert(0, os.path.join(ROOT, "tests/pcsc"))
import pcsc_bed as bed  # noqa: E402

APDU = "00 C0 00 00 1C"
COUNT = 300  # exchanges per reader
READERS = 8
FIRST_COM = 80
PAYLOADS = [0, 16, 255, 1019]
SECONDS = 2.0
ROUNDS = 3


def readerscript(state, ports):
    """Seconds that readerscript takes for COUNT requests on each of the ports."""
    script = os.path.join(state, "req.rsc")
    with open(script, "w") as f:
        f.write("insert 0\n" + "req 0 %s\n" % APDU * COUNT)
    env = dict(os.environ)
    for port in ports:
        env["SERCHAN32_COM%d" % port] = os.path.join(state, "sim%d" % port)
    start = time.monotonic()
    subprocess.run([os.path.join(NATIVE, "readerscript"), "--quiet", ",".join(map(str, ports)),
                    "115200", script], env=env, stdout=subprocess.DEVNULL, check=True)
    return time.monotonic() - start


def many_readers(state):
    ports = list(range(FIRST_COM, FIRST_COM + READERS))
    for port in ports:
        bed.start_sim(state, "sim%d" % port, os.path.join(NATIVE, "readersim"),
                      ["--pace", "--baud", "115200"])
    one = sorted(COUNT / readerscript(state, ports[:1]) for _ in range(ROUNDS))[ROUNDS // 2]
    many = sorted(COUNT * READERS / readerscript(state, ports) for _ in range(ROUNDS))[ROUNDS // 2]
    for port in ports:
        bed.stop_sim(state, "sim%d" % port)
    return one, many


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def echo_rows(command, env):
    output = subprocess.run(command + [str(SECONDS)] + [str(p) for p in PAYLOADS], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=600).stdout
    rows = {}
    for line in output.decode().splitlines():
        fields = dict(item.split("=") for item in line.split())
        rows[int(fields["payload"])] = {k: float(v) for k, v in fields.items()}
    return rows


def through_ser2net(state):
    bed.start_sim(state, "remote", os.path.join(NATIVE, "readersim"), [])
    port = free_port()
    config = ("connection: &bench#  accepter: telnet(rfc2217),tcp(nodelay),127.0.0.1,%d#"
              "  connector: serialdev,%s,115200n81,local#  options:#    chardelay: false" %
              (port, os.path.join(state, "remote")))
    pid_file = os.path.join(state, "ser2net.pid")
    server = subprocess.Popen(["ser2net", "-n", "-d", "-u", "-P", pid_file, "-Y", config],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    url = "rfc2217://127.0.0.1:%d" % port
    bed.wait_for("ser2net's port", lambda: subprocess.run(
        ["ss", "-ltnH", "sport = :%d" % port], stdout=subprocess.PIPE).stdout.strip() != b"", 5)
    com = FIRST_COM + READERS
    ours_env = dict(os.environ, **{"SERCHAN32_COM%d" % com: url})
    ours, peer = [], []
    for _ in range(ROUNDS):
        ours.append(echo_rows([os.path.join(NATIVE, "link_echo"), str(com), "115200"], ours_env))
        time.sleep(0.1)  # ser2net takes the next client once it has let the last go
        peer.append(echo_rows(["/usr/bin/python3", os.path.join(ROOT, "bench/peer_pyserial.py"),
                               url + "?ign_set_control", "115200"], dict(os.environ)))
        time.sleep(0.1)
    server.terminate()
    server.wait()
    bed.stop_sim(state, "remote")

    def median(runs, payload, key):
        values = sorted(r[payload][key] for r in runs if payload in r)
        return values[len(values) // 2] if values else float("nan")

    return [(p, median(ours, p, "seconds"), median(ours, p, "cpu"), median(peer, p, "seconds"),
             median(peer, p, "cpu")) for p in PAYLOADS]


def main():
    state = tempfile.mkdtemp(prefix="serchan-readers-")
    one, many = many_readers(state)
    print("measured eight readers", file=sys.stderr)
    remote = through_ser2net(state)
    print("measured ser2net", file=sys.stderr)
    out = ["%s UTC, %d cores. Written by `./run bench` (bench/readers_bench.py).\n" % (
               datetime.datetime.utcnow().strftime("%Y-%m-%d %H:%M"), os.cpu_count()),
           "### Eight readers at once\n",
           "readerscript with `insert 0` and %d `req 0 %s` per reader, each readersim paced at "
           "115200 baud, median of %d runs.\n" % (COUNT, APDU, ROUNDS),
           "| readers | exchanges/s in all | against 8 × one reader |",
           "|---:|---:|---:|",
           "| 1 | %.0f | |" % one,
           "| 8 | %.0f | %.2f |" % (many, many / (READERS * one)),
           "\n### Through ser2net on loopback, unpaced echo\n",
           "ser2net 4.3 (`telnet(rfc2217),tcp(nodelay)`, `chardelay: false`) serving readersim's "
           "pseudo-terminal; **ours**: `link_echo` on a COM port mapped to rfc2217://127.0.0.1:PORT; "
           "**pyserial**: `peer_pyserial.py` with `rfc2217://127.0.0.1:PORT?ign_set_control`. "
           "Median of %d runs of %.0f s per payload.\n" % (ROUNDS, SECONDS),
           "| payload | ours ex/s | pyserial ex/s | ours / pyserial | ours CPU ms/ex | "
           "pyserial CPU ms/ex |",
           "|---:|---:|---:|---:|---:|---:|"]
    for payload, ours_s, ours_cpu, peer_s, peer_cpu in remote:
        out.append("| %d | %.0f | %.0f | %.2f | %.3f | %.3f |" % (
            payload, 1 / ours_s, 1 / peer_s, peer_s / ours_s, ours_cpu * 1000, peer_cpu * 1000))
    text = "\n".join(out) + "\n"
    write_section("readers", text)
    print(text)


if __name__ == "__main__":
    main()
