#!/usr/bin/python3
"""The echo exchange written with pyserial, as a user would: the command frame
in one write, then the status, the length, the data and the CRC, each with
one read. Prints the same lines as the C++ hosts (see echo_runs.h).
Usage: peer_pyserial.py DEVICE|URL BAUD SECONDS PAYLOAD..."""
import sys
import time

import serial


def crc16(data):
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def frame(payload):
    body = bytes([0x3F, payload >> 8, payload & 0xFF]) + bytes((i * 7 + 1) & 0xFF for i in range(payload))
    crc = crc16(body)
    return body + bytes([crc & 0xFF, crc >> 8])


def exchange(port, command, payload):
    port.reset_input_buffer()
    port.write(command)
    head = port.read(1) + port.read(2)
    if len(head) != 3 or (head[1] << 8 | head[2]) != payload:
        return False
    return len(port.read(payload)) == payload and len(port.read(2)) == 2


def main():
    device, baud, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    # A path, or a URL such as rfc2217://HOST:PORT?ign_set_control.
    port = serial.serial_for_url(device, baud, timeout=1)
    for payload in map(int, sys.argv[4:]):
        command = frame(payload)
        times, exchanges, failed = [], 0, 0
        cpu_start = time.process_time()
        for _ in range(5):
            start = time.monotonic()
            count = 0
            while True:
                failed += not exchange(port, command, payload)
                count += 1
                took = time.monotonic() - start
                if took >= seconds / 5:
                    break
            times.append(took / count)
            exchanges += count
        cpu = (time.process_time() - cpu_start) / exchanges
        print(f"payload={payload} exchanges={exchanges} failed={failed} "
              f"seconds={sorted(times)[2]:.9f} cpu={cpu:.9f}", flush=True)


main()
