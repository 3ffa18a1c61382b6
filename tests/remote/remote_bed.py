#!/usr/bin/env python3
"""The remote ports' bed: ser2net on 127.0.0.1 serving pseudo-terminals.

  remote_bed.py start DIR SER2NET PTYBED MODEMLINES READERSIM PORT
  remote_bed.py stop DIR PTYBED
  remote_bed.py serve DIR SER2NET PORT DEVICE NAME   (one more ser2net, for a test)

start makes, in DIR: a ptybed of its own (DIR/com71 and DIR/com72, their far
ends DIR/far71 and DIR/far72, their lines in DIR/com71.lines ...), a reader
simulator whose pseudo-terminal is DIR/sim, and one ser2net that serves
DIR/com71 on PORT and DIR/sim on PORT + 1. ser2net runs with the 64-bit
modemlines preload and MODEMLINES_DIR=DIR, so that the bed's lines are its
ports' modem lines. It returns once both ports listen. stop ends what start
(and serve) started. serve starts one more ser2net for a test to kill: it
prints its process id once the port listens.
"""
import os
import signal
import subprocess
import sys
import time

PORT_COMS = ("71", "72")


def ser2net_command(ser2net, pid_file, ports):
    """ports: (tcp port, device) pairs, each an RFC 2217 port with no delays."""
    config = ""
    for number, (port, device) in enumerate(ports):
        config += (f"connection: &port{number}#"
                   f"  accepter: telnet(rfc2217),tcp(nodelay),127.0.0.1,{port}#"
                   f"  connector: serialdev,{device},9600n81,local#"
                   f"  options:#"
                   f"    chardelay: false#")
    return [ser2net, "-n", "-d", "-u", "-P", pid_file, "-Y", config]


def listening(port):
    """Whether something listens on 127.0.0.1:port (without connecting: a
    connection would open ser2net's device)."""
    wanted = "0100007F:%04X" % port
    with open("/proc/net/tcp") as table:
        for line in table.readlines()[1:]:
            fields = line.split()
            if fields[1] == wanted and fields[3] == "0A":
                return True
    return False


def wait_for(condition, what, seconds=10, fatal=True):
    until = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > until:
            if fatal:
                sys.exit(f"remote_bed: {what} not there after {seconds} s")
            return
        time.sleep(0.02)


def spawn(directory, name, command, env=None):
    """Starts a process of its own session, its output into DIR/NAME.log,
    and keeps its process id in DIR/NAME.pid."""
    with open(os.path.join(directory, name + ".log"), "ab") as log:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                   env=env, start_new_session=True)
    with open(os.path.join(directory, name + ".pid"), "w") as pid_file:
        pid_file.write(f"{process.pid} {os.path.basename(command[0])}\n")
    return process


def still_running(pid, program):
    """Whether pid is still that program (and not a process that took its number)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            text = stat.read()
    except OSError:
        return False
    name = text[text.index("(") + 1:text.rindex(")")]
    state = text[text.rindex(")") + 2:][:1]
    return name == program[:15] and state != "Z"


def stop(directory, ptybed):
    for name in sorted(os.listdir(directory)) if os.path.isdir(directory) else []:
        if not name.endswith(".pid") or name == "ptybed.pid" or name.startswith("ser2net-"):
            continue
        path = os.path.join(directory, name)
        with open(path) as pid_file:
            pid, program = pid_file.read().split()
        # SIGTERM ends each at once; a ser2net whose client has just gone may
        # not be ending, and is killed after a second.
        for stop_signal in (signal.SIGTERM, signal.SIGKILL):
            if still_running(pid, program):
                os.kill(int(pid), stop_signal)
                wait_for(lambda: not still_running(pid, program), f"the end of {program} {pid}",
                         seconds=1 if stop_signal == signal.SIGTERM else 10, fatal=False)
        os.unlink(path)
    pid_file = os.path.join(directory, "ptybed.pid")
    if os.path.exists(pid_file):
        subprocess.run([ptybed, "--stop", pid_file], check=False)


def start(directory, ser2net, ptybed, modemlines, readersim, port):
    os.makedirs(directory, exist_ok=True)
    stop(directory, ptybed)
    subprocess.run([ptybed, "--start", os.path.join(directory, "ptybed.pid"), directory,
                    *PORT_COMS], check=True, stdout=subprocess.DEVNULL)
    simulator = os.path.join(directory, "sim")
    spawn(directory, "readersim", [readersim, "--link", simulator, "--remove-on-power-down",
                                   "--insert-after", "300"])
    wait_for(lambda: os.path.exists(simulator), "the simulator's pseudo-terminal")
    env = dict(os.environ, LD_PRELOAD=modemlines, MODEMLINES_DIR=directory)
    spawn(directory, "ser2net", ser2net_command(ser2net, os.path.join(directory, "ser2net-own.pid"),
                                                [(port, os.path.join(directory, "com71")),
                                                 (port + 1, simulator)]), env)
    wait_for(lambda: listening(port) and listening(port + 1), f"ser2net on ports {port}, {port + 1}")


def serve(directory, ser2net, port, device, name):
    process = spawn(directory, name, ser2net_command(
        ser2net, os.path.join(directory, f"ser2net-{name}.pid"), [(port, device)]))
    wait_for(lambda: listening(port), f"ser2net on port {port}")
    print(process.pid)


def main(argv):
    if len(argv) == 8 and argv[1] == "start":
        start(argv[2], argv[3], argv[4], argv[5], argv[6], int(argv[7]))
    elif len(argv) == 4 and argv[1] == "stop":
        stop(argv[2], argv[3])
    elif len(argv) == 7 and argv[1] == "serve":
        serve(argv[2], argv[3], int(argv[4]), argv[5], argv[6])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
