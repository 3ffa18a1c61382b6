#!/usr/bin/python3
"""APDU round trips through pcscd and the PC/SC driver beside readerscript's
`req` on the same reader simulator, paced at 115200 baud and unpaced, and the
CPU of pcscd with the driver idle with cards in both slots. Part of
./run bench; writes its table into docs/bench.md (between the pcsc results
markers).
"""
import datetime
import os
import resource
import subprocess
import sys
import tempfile
import time

from bench_page import write_section

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NATIVE = os.path.join(ROOT, "build/native/bin")
sys.path.insert(0, os.path.join(ROOT, "tests/pcsc"))
import pcsc_bed as bed  # noqa: E402

from smartcard import scard  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")
APDU = "00 C0 00 00 1C"  # a request for 28 bytes: 10 bytes out, 35 back
COUNT = {True: 400, False: 2000}  # exchanges per run, paced and unpaced
RUNS = 3
IDLE_SECONDS = 20
COM = 38


def cpu_of(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def sim_options(paced):
    return ["--pace", "--baud", "115200"] if paced else []


def readerscript_run(state, paced):
    """Exchanges per second and CPU seconds per 1000 of readerscript's req."""
    script = os.path.join(state, "req.rsc")
    with open(script, "w") as f:
        # The card powered first, as pcscd powers it before the client's APDUs.
        f.write("insert 0\n" + "req 0 %s\n" % APDU * COUNT[paced])
    link = os.path.join(state, "rs")
    bed.start_sim(state, "rs", os.path.join(NATIVE, "readersim"), sim_options(paced))
    env = dict(os.environ, **{"SERCHAN32_COM%d" % COM: link})
    rows = []
    for _ in range(RUNS):
        cpu = children_cpu()
        start = time.monotonic()
        subprocess.run([os.path.join(NATIVE, "readerscript"), "--quiet", str(COM), "115200", script],
                       env=env, stdout=subprocess.DEVNULL, check=True)
        took = time.monotonic() - start
        rows.append((COUNT[paced] / took, (children_cpu() - cpu) * 1000 / COUNT[paced]))
    bed.stop_sim(state, "rs")
    return sorted(rows)[RUNS // 2]


def pcsc_run(state, paced):
    """The same through pcscd: exchanges per second, and CPU seconds per 1000
    of the client and of pcscd with the driver."""
    bed.start(state, os.path.join(NATIVE, "libifd-serchan.so"), os.path.join(NATIVE, "readersim"),
              readers=[("Serchan Bench", "sim0", sim_options(paced))], absent=False)
    os.environ["PCSCLITE_CSOCK_NAME"] = bed.path(state, "run/pcscd.comm")
    daemon = bed.read_pid(bed.path(state, "pcscd.pid"))
    _, context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
    reader = None
    for _ in range(50):
        _, readers = scard.SCardListReaders(context, [])
        reader = next((r for r in readers or [] if r.endswith(" 00")), None)
        result, states = scard.SCardGetStatusChange(context, 200, [(reader, 0)]) if reader else (1, [])
        if reader and states[0][1] & scard.SCARD_STATE_PRESENT:
            break
        time.sleep(0.1)
    result, card, _ = scard.SCardConnect(context, reader, scard.SCARD_SHARE_SHARED,
                                         scard.SCARD_PROTOCOL_T0)
    assert result == 0, scard.SCardGetErrorMessage(result)
    apdu = list(bytes.fromhex(APDU))
    rows = []
    for _ in range(RUNS):
        mine = resource.getrusage(resource.RUSAGE_SELF)
        theirs = cpu_of(daemon)
        start = time.monotonic()
        for _ in range(COUNT[paced]):
            result, answer = scard.SCardTransmit(card, scard.SCARD_PCI_T0, apdu)
            assert result == 0 and len(answer) == 30, scard.SCardGetErrorMessage(result)
        took = time.monotonic() - start
        after = resource.getrusage(resource.RUSAGE_SELF)
        client = after.ru_utime + after.ru_stime - mine.ru_utime - mine.ru_stime
        rows.append((COUNT[paced] / took, client * 1000 / COUNT[paced],
                     (cpu_of(daemon) - theirs) * 1000 / COUNT[paced]))
    scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)
    idle = None
    if paced:
        # Cards in both slots, no client: what pcscd's polling costs.
        scard.SCardReleaseContext(context)
        time.sleep(6)  # past pcscd's power-down of unused cards
        before = cpu_of(daemon)
        time.sleep(IDLE_SECONDS)
        idle = (cpu_of(daemon) - before) / IDLE_SECONDS * 100
    else:
        scard.SCardReleaseContext(context)
    bed.stop(state)
    return sorted(rows)[RUNS // 2], idle


def main():
    state = tempfile.mkdtemp(prefix="serchan-bench-")
    lines = []
    idle = None
    for paced in (True, False):
        rs = readerscript_run(state, paced)
        (rate, client, daemon), idled = pcsc_run(state, paced)
        idle = idled if idled is not None else idle
        lines.append("| %s | %.0f | %.2f | %.0f | %.2f | %.2f | %.2f | %.2f |" % (
            "115200 paced" if paced else "unpaced", rs[0], rs[1], rate, client, daemon,
            client + daemon, rate / rs[0]))
        print("measured %s" % ("paced" if paced else "unpaced"), file=sys.stderr)
    out = ["%s UTC, %d cores. Written by `./run bench` (bench/pcsc_bench.py).\n" % (
               datetime.datetime.utcnow().strftime("%Y-%m-%d %H:%M"), os.cpu_count()),
           "APDU `%s` (a request for 28 bytes: 10 bytes to the reader, 35 back) on readersim's "
           "slot 0, median of %d runs of %d (paced) or %d (unpaced) exchanges. **readerscript**: "
           "`insert 0`, then `req 0 %s` lines, `--quiet`, its CPU per 1000 exchanges. **pcscd**: "
           "pyscard's SCardTransmit through a private pcscd with libifd-serchan.so on the same "
           "simulator; CPU of the client and of pcscd (with the driver) per 1000.\n" % (
               APDU, RUNS, COUNT[True], COUNT[False], APDU),
           "| line | readerscript ex/s | readerscript CPU s/1000 | pcscd ex/s | client CPU s/1000 | "
           "pcscd+driver CPU s/1000 | total CPU s/1000 | pcscd / readerscript |",
           "|---|---:|---:|---:|---:|---:|---:|---:|"] + lines
    out.append("\nIdle, cards in both slots, no client, 115200 paced: pcscd with the driver used "
               "%.2f %% of a core over %d s (pcscd polls each slot every 400 ms; one status frame "
               "answers both).\n" % (idle, IDLE_SECONDS))
    text = "\n".join(out)
    write_section("pcsc", text)
    print(text)


if __name__ == "__main__":
    main()
