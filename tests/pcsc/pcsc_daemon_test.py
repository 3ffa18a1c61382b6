#!/usr/bin/python3
"""The driver in a private pcscd (pcsc_bed.py), driven by Debian's clients:
pcsc_scan, opensc-tool and pyscard. What reaches the reader is read back from
readersim's frame log.

  pcsc_daemon_test.py STATE READERSIM [unittest arguments]
"""
import os
import re
import subprocess
import sys
import threading
import time
import unittest

from smartcard import scard

import pcsc_bed as bed

STATE = None
READERSIM = None


def log_lines(name):
    with open(bed.path(STATE, name + ".log"), errors="replace") as f:
        return f.read().splitlines()


def frames_in(name, since=0):
    """The command frames the simulator received, as hex, after line `since`."""
    return [line.split(" in  ", 1)[1].split(" | ")[0]
            for line in log_lines(name)[since:] if " in  " in line]


def run(command, seconds=30):
    return subprocess.run(command, capture_output=True, text=True, timeout=seconds)


class Pcsc:
    """A client's context and the readers' names."""

    def __init__(self):
        result, self.context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
        assert result == scard.SCARD_S_SUCCESS, scard.SCardGetErrorMessage(result)

    def close(self):
        scard.SCardReleaseContext(self.context)

    def reader(self, friendly, slot):
        result, readers = scard.SCardListReaders(self.context, [])
        assert result == scard.SCARD_S_SUCCESS, scard.SCardGetErrorMessage(result)
        for name in readers:
            if name.startswith(friendly + " ") and name.endswith(" %02d" % slot):
                return name
        raise AssertionError("no reader %s slot %d in %s" % (friendly, slot, readers))

    def state(self, reader, known=scard.SCARD_STATE_UNAWARE, ms=0):
        result, states = scard.SCardGetStatusChange(self.context, ms, [(reader, known)])
        return result, states[0][1], bytes(states[0][2])

    def wait_state(self, reader, flag, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            result, state, _ = self.state(reader, ms=200)
            if state & flag:
                return state
            time.sleep(0.1)
        raise AssertionError("%s never had state %#x (last %#x)" % (reader, flag, state))

    def connect(self, reader):
        result, card, protocol = scard.SCardConnect(
            self.context, reader, scard.SCARD_SHARE_SHARED, scard.SCARD_PROTOCOL_T0)
        assert result == scard.SCARD_S_SUCCESS, scard.SCardGetErrorMessage(result)
        return card

    @staticmethod
    def transmit(card, apdu):
        """The answer's bytes, or the error's message."""
        result, answer = scard.SCardTransmit(card, scard.SCARD_PCI_T0, list(apdu))
        if result != scard.SCARD_S_SUCCESS:
            return scard.SCardGetErrorMessage(result)
        return bytes(answer)


def hexes(data):
    return " ".join("%02X" % b for b in data)


class Daemon(unittest.TestCase):
    def setUp(self):
        self.pcsc = Pcsc()

    def tearDown(self):
        self.pcsc.close()

    def test_readers_slots_atr_and_an_unopenable_device(self):
        listed = run(["pcsc_scan", "-r"]).stdout
        for friendly in ("Serchan A", "Serchan B", "Serchan C"):
            for slot in (0, 1):
                self.assertRegex(listed, r"%s \d\d %02d\n" % (friendly, slot))
        reader = self.pcsc.reader("Serchan A", 0)
        self.pcsc.wait_state(reader, scard.SCARD_STATE_PRESENT, 5)
        card = self.pcsc.connect(reader)
        result, _, _, _, atr = scard.SCardStatus(card)
        self.assertEqual(bytes(atr), bytes.fromhex("3B021450"))
        scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)
        # pcscd polls each slot every 400 ms; one status frame serves both.
        before = len(log_lines("sim1"))
        time.sleep(2)
        polls = [f for f in frames_in("sim1", before) if f.startswith("01 00 00")]
        self.assertLessEqual(len(polls), 7, "%d status frames in 2 s" % len(polls))
        self.assertGreaterEqual(len(polls), 3, "%d status frames in 2 s" % len(polls))
        # The reader on a device that has not been there is empty, and the log says why.
        absent = self.pcsc.reader("Serchan C", 0)
        self.pcsc.wait_state(absent, scard.SCARD_STATE_EMPTY, 5)
        with open(bed.path(STATE, "pcscd.log"), errors="replace") as f:
            self.assertRegex(f.read(), r"ifd-serchan: \S*/absent at 115200 baud: cannot be "
                                       r"opened: No such file or directory")

    def test_each_apdu_case_as_the_reader_gets_it(self):
        card = self.pcsc.connect(self.pcsc.reader("Serchan A", 0))
        cases = [  # APDU, frame sent (command, length, data; no CRC), answer
            ("00 A4 00 00", "42 00 05 00 A4 00 00 00", "90 00"),
            ("00 C0 00 00 04", "43 00 05 00 C0 00 00 04", "00 01 02 03 90 00"),
            ("00 C0 00 00 00", "43 00 05 00 C0 00 00 00", hexes(range(256)) + " 90 00"),
            ("00 A4 04 00 02 3F 00", "42 00 07 00 A4 04 00 02 3F 00", "90 00"),
            ("00 A4 04 00 02 3F 00 1C", "42 00 07 00 A4 04 00 02 3F 00", "90 00"),
        ]
        for apdu, frame, answer in cases:
            before = len(log_lines("sim0"))
            self.assertEqual(hexes(Pcsc.transmit(card, bytes.fromhex(apdu))), answer, apdu)
            sent = [f for f in frames_in("sim0", before) if not f.startswith("01 ")]
            self.assertEqual([f[:len(frame)] for f in sent], [frame], apdu)
        # Nothing is sent for an APDU the reader's T=0 cannot carry.
        for apdu in ("00 A4 00", "00 A4 04 00 00 00 02 3F 00", "00 A4 04 00 02 3F", "00 A4 04 00 02 3F 00 00 00"):
            before = len(log_lines("sim0"))
            self.assertIsInstance(Pcsc.transmit(card, bytes.fromhex(apdu)), str, apdu)
            self.assertEqual([f for f in frames_in("sim0", before) if not f.startswith("01 ")],
                             [], apdu)
        scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)

    def test_get_response_after_a_case_4_select_through_opensc(self):
        index = self.pcsc_index("Serchan A", 1)
        before = len(log_lines("sim0"))
        out = run(["opensc-tool", "-r", str(index), "-s", "00 A4 00 00 02 2F 00 00",
                   "-s", "00 B0 00 00 10"]).stdout
        self.assertIn("Received (SW1=0x90, SW2=0x00):\n62 0E 82 01 01 83 02 2F 00 80 02 00 30 8A 01 05",
                      out)
        self.assertIn("61 1B 4F 0A F0 72 65 61 64 65 72 73 69 6D 50 0D", out)
        sent = [f for f in frames_in("sim0", before) if f.startswith("8")]
        self.assertIn("82 00 07 00 A4 00 00 02 2F 00", " | ".join(sent))
        self.assertIn("83 00 05 00 C0 00 00 10", " | ".join(sent))

    def pcsc_index(self, friendly, slot):
        listed = run(["pcsc_scan", "-r"]).stdout
        match = re.search(r"^(\d+): %s \d\d %02d$" % (friendly, slot), listed, re.M)
        self.assertIsNotNone(match, listed)
        return int(match.group(1))

    def test_a_card_taken_out_and_put_back_are_events(self):
        reader = self.pcsc.reader("Serchan B", 0)
        self.pcsc.wait_state(reader, scard.SCARD_STATE_PRESENT, 5)
        bed.say(STATE, "sim1", "remove 0")
        self.pcsc.wait_state(reader, scard.SCARD_STATE_EMPTY, 3)
        bed.say(STATE, "sim1", "insert 0")
        self.pcsc.wait_state(reader, scard.SCARD_STATE_PRESENT, 3)

    def test_two_clients_at_once_each_get_their_own_answers(self):
        failures = []

        def client(slot, le):
            pcsc = Pcsc()
            card = pcsc.connect(pcsc.reader("Serchan B", slot))
            for _ in range(25):
                answer = Pcsc.transmit(card, bytes([0, 0xC0, 0, 0, le]))
                if answer != bytes(range(le)) + b"\x90\x00":
                    failures.append((slot, le, answer))
            scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)
            pcsc.close()

        threads = [threading.Thread(target=client, args=a) for a in ((0, 3), (0, 9), (1, 17))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        self.assertEqual(failures, [])

    def test_a_fault_fails_one_transmit_and_the_next_works(self):
        reader = self.pcsc.reader("Serchan B", 1)
        card = self.pcsc.connect(reader)
        for fault in ("nak", "crc", "silent", "slow"):
            # A status poll may take the fault first; then the APDU works and
            # the fault is set again.
            for _ in range(5):
                bed.say(STATE, "sim1", "fault %s once" % fault)
                failed = Pcsc.transmit(card, bytes.fromhex("00 C0 00 00 04"))
                if isinstance(failed, str):
                    break
            self.assertIsInstance(failed, str, fault)
            # The late answer of "slow" is never taken for this one's.
            self.assertEqual(Pcsc.transmit(card, bytes.fromhex("00 C0 00 00 06")),
                             bytes(range(6)) + b"\x90\x00", fault)
        scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)

    def test_unplugged_and_plugged_back(self):
        reader = self.pcsc.reader("Serchan B", 0)
        self.pcsc.wait_state(reader, scard.SCARD_STATE_PRESENT, 5)
        bed.stop_sim(STATE, "sim1")
        self.pcsc.wait_state(reader, scard.SCARD_STATE_UNAVAILABLE, 5)
        bed.start_sim(STATE, "sim1", READERSIM, [])
        self.pcsc.wait_state(reader, scard.SCARD_STATE_PRESENT, 5)
        card = self.pcsc.connect(reader)
        self.assertEqual(Pcsc.transmit(card, bytes.fromhex("00 C0 00 00 02")),
                         b"\x00\x01\x90\x00")
        scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)


if __name__ == "__main__":
    STATE, READERSIM = sys.argv[1], sys.argv[2]
    os.environ["PCSCLITE_CSOCK_NAME"] = bed.path(STATE, "run/pcscd.comm")
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:])
