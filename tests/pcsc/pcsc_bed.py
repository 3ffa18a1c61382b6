#!/usr/bin/python3
"""A private pcscd serving the driver on readersim links, for the pcsc tests.

  pcsc_bed.py start STATE DRIVER READERSIM    start the simulators and pcscd
  pcsc_bed.py stop STATE                      stop them

pcscd runs in a mount namespace of its own: its socket is STATE/run/pcscd.comm
(clients find it by PCSCLITE_CSOCK_NAME), the system's daemon and USB drivers
are left alone. reader.conf names three readers: "Serchan A" on STATE/sim0
(a default card in slot 0, the iso card in slot 1), "Serchan B" on STATE/sim1
and "Serchan C" on a device that does not exist. Each simulator takes control
lines through the FIFO STATE/simN.ctl and logs its frames to STATE/simN.log.
The tests import this file for the same paths and for the simulators' control.
"""
import os
import signal
import subprocess
import sys
import time

READERS = [("Serchan A", "sim0", ["--card", "1", "iso"]), ("Serchan B", "sim1", [])]
ABSENT = ("Serchan C", "absent")
BAUD = 115200


def path(state, name):
    return os.path.join(state, name)


def wait_for(what, test, seconds):
    end = time.monotonic() + seconds
    while not test():
        if time.monotonic() > end:
            raise RuntimeError("pcsc bed: %s did not happen in %s s" % (what, seconds))
        time.sleep(0.02)


def read_pid(file):
    try:
        with open(file) as f:
            return int(f.read())
    except (OSError, ValueError):
        return None


def kill(pid_file, sig=signal.SIGTERM):
    pid = read_pid(pid_file)
    if pid is not None:
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            pass
        try:
            os.remove(pid_file)
        except OSError:
            pass
    return pid


def gone(pid):
    """Ended: no such process, or one that only waits to be reaped."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


def start_sim(state, name, readersim, options):
    """A readersim on the link STATE/NAME; control lines through STATE/NAME.ctl.
    The FIFO is its standard input, opened for reading and writing so that it
    never sees the end of its input between two writers."""
    control = path(state, name + ".ctl")
    if not os.path.exists(control):
        os.mkfifo(control)
    fifo = os.open(control, os.O_RDWR)
    with open(path(state, name + ".out"), "ab") as out:
        sim = subprocess.Popen([readersim, "--link", path(state, name), "--log",
                                path(state, name + ".log")] + options,
                               stdin=fifo, stdout=out, stderr=out, start_new_session=True)
    os.close(fifo)
    with open(path(state, name + ".pid"), "w") as f:
        f.write(str(sim.pid))
    wait_for(name + "'s link", lambda: os.path.exists(path(state, name)), 5)
    return sim.pid


def stop_sim(state, name):
    pid = kill(path(state, name + ".pid"))
    if pid is not None:
        wait_for(name + " to end", lambda: gone(pid), 5)


def say(state, name, line):
    """A control line to a simulator."""
    with open(path(state, name + ".ctl"), "w") as f:
        f.write(line + "\n")


def reader_conf(state, driver, readers, absent):
    entries = [(friendly, path(state, link)) for friendly, link, _ in readers]
    if absent:
        entries.append((ABSENT[0], path(state, ABSENT[1])))
    return "".join('FRIENDLYNAME "%s"\nDEVICENAME %s:%d\nLIBPATH %s\n\n' %
                   (friendly, device, BAUD, driver) for friendly, device in entries)


def start(state, driver, readersim, readers=READERS, absent=True):
    """The readers are (friendly name, link, readersim options); absent adds
    the reader on a device that does not exist."""
    stop(state)
    os.makedirs(path(state, "run"), exist_ok=True)
    for name in os.listdir(state):
        if name.endswith(".log") or name.endswith(".out"):
            os.remove(path(state, name))
    for _, link, options in readers:
        start_sim(state, link, readersim, options)
    with open(path(state, "reader.conf"), "w") as f:
        f.write(reader_conf(state, driver, readers, absent))
    socket = path(state, "run/pcscd.comm")
    if len(socket) >= 108:
        raise RuntimeError("pcsc bed: the socket path %s is too long" % socket)
    # Its own /run, the state's run folder as /run/pcscd, no USB drivers.
    script = ('mount -t tmpfs -o size=1m r /run && mkdir /run/pcscd /run/lock && '
              'mount --bind "$0/run" /run/pcscd && '
              'mount -t tmpfs -o size=1m u /usr/lib/pcsc/drivers && '
              'exec pcscd --foreground --debug --config "$1"')
    unshare = ["unshare", "-m"] if os.geteuid() == 0 else ["unshare", "-r", "-m"]
    with open(path(state, "pcscd.log"), "ab") as log:
        daemon = subprocess.Popen(unshare + ["sh", "-c", script, state,
                                             path(state, "reader.conf")],
                                  stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                  start_new_session=True)
    with open(path(state, "pcscd.pid"), "w") as f:
        f.write(str(daemon.pid))
    wait_for("pcscd's socket", lambda: os.path.exists(socket), 10)


def stop(state):
    # SIGTERM ends pcscd at once; the simulators then remove their links.
    pid = kill(path(state, "pcscd.pid"))
    if pid is not None:
        wait_for("pcscd to end", lambda: gone(pid), 10)
    for name in os.listdir(state) if os.path.isdir(state) else []:
        if name.endswith(".pid"):
            stop_sim(state, name[:-4])


def main(argv):
    if len(argv) == 5 and argv[1] == "start":
        start(argv[2], argv[3], argv[4])
    elif len(argv) == 3 and argv[1] == "stop":
        stop(argv[2])
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
