#!/usr/bin/env python3
"""A simulated unit on a pseudo-terminal, for trying the tool and for its tests.

Prints the pty's path on the first line of standard output, then answers as a
unit does: the probe "DEDEDE" with the found frame, the read request with the
609-byte configuration reply, a configuration write by storing the record and
acknowledging, restart and factory reset with an acknowledgement.
"""
import argparse
import os
import select
import signal
import sys
import time
import tty

FOUND = bytes([0x7B, 0x90, 0x00, 0x00, 0x7C])
ACK = bytes([0x7B, 0x92, 0x00, 0x00, 0x7C])
PROBE = b"DEDEDE"
READ = bytes([0x7B, 0x94, 0x00, 0x00, 0x7C])
RESTART = bytes([0x7B, 0x95, 0x00, 0x00, 0x7C])
FACTORY = bytes([0x7B, 0x99, 0x00, 0x00, 0x7C])
WRITE_PREFIX = bytes([0x7B, 0x91, 0x00])
RECORD_SIZE = 600
WRITE_LENGTH = len(WRITE_PREFIX) + RECORD_SIZE + 1


def put_text(record, offset, text):
    data = text.encode("ascii")
    record[offset:offset + len(data)] = data


def factory_record():
    """The unit's defaults, laid out as the configuration record."""
    r = bytearray(RECORD_SIZE)
    put_text(r, 0, "TCP")
    put_text(r, 30, "factory.example.com")
    put_text(r, 60, "6000")
    put_text(r, 90, "60")
    put_text(r, 120, "60")
    put_text(r, 150, "20")
    r[180] = 0x20
    r[209] = 1
    r[210] = 0x20
    r[239] = 1
    put_text(r, 240, "115200")
    r[250] = ord("8")
    r[251] = 1
    r[252] = 0
    put_text(r, 270, "10000000000")
    put_text(r, 300, "standby.example.com")
    put_text(r, 330, "9997")
    put_text(r, 360, "1024")
    r[370] = 2
    r[371] = 2
    r[373] = ord("2")
    r[374] = 20
    r[375] = 0
    r[376] = 0
    r[377] = 0
    r[378] = 1
    r[380] = 0
    put_text(r, 390, "cmnet")
    put_text(r, 480, "10000000000")
    return r


class Unit:
    def __init__(self, args):
        self.args = args
        self.record = bytearray(factory_record())
        if args.record:
            with open(args.record, "rb") as f:
                data = f.read()
            if len(data) != RECORD_SIZE:
                sys.exit(f"{args.record}: need {RECORD_SIZE} bytes")
            self.record = bytearray(data)
        self.pending = bytearray()
        self.log = open(args.log, "a", encoding="ascii") if args.log else None
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self.dump()

    def dump(self):
        if not self.args.dump:
            return
        tmp = self.args.dump + ".tmp"
        with open(tmp, "wb") as f:
            f.write(self.record)
        os.replace(tmp, self.args.dump)

    def note(self, what, data):
        if self.log:
            self.log.write(f"{time.time():.3f} {what} {data.hex(' ')}\n")
            self.log.flush()

    def send(self, data):
        if self.args.silent:
            return
        if self.args.delay_ms:
            time.sleep(self.args.delay_ms / 1000.0)
        self.note("out", data)
        view = memoryview(data)
        while view:
            n = os.write(self.master, view)
            view = view[n:]

    def reply_to_read(self):
        reply = bytes([0x7B, 0x94, 0x00]) + bytes(self.record) + bytes([0, 0, 0, 0, 0, 0x7C])
        if self.args.short_read:
            reply = reply[:608]
        self.send(reply)

    def handle(self):
        """Takes every whole request off the front of what has arrived."""
        buf = self.pending
        while buf:
            if buf.startswith(WRITE_PREFIX):
                if len(buf) < WRITE_LENGTH:
                    return
                if buf[WRITE_LENGTH - 1] == 0x7C:
                    self.record = bytearray(buf[3:3 + RECORD_SIZE])
                    self.dump()
                    self.send(ACK)
                    del buf[:WRITE_LENGTH]
                else:
                    del buf[:1]
                continue
            matched = False
            for request in (PROBE, READ, RESTART, FACTORY):
                if buf.startswith(request):
                    del buf[:len(request)]
                    matched = True
                    self.answer(request)
                    break
                if request.startswith(bytes(buf)):
                    return  # the rest of a request may still come
            if matched:
                continue
            if WRITE_PREFIX.startswith(bytes(buf)):
                return
            del buf[:1]  # noise between requests

    def answer(self, request):
        if request == PROBE:
            if not self.args.no_found:
                self.send(FOUND)
        elif request == READ:
            self.reply_to_read()
        elif request == RESTART:
            self.send(ACK)
        elif request == FACTORY:
            self.record = bytearray(factory_record())
            self.dump()
            self.send(ACK)

    def run(self):
        print(self.path, flush=True)
        if self.args.stray:
            self.send(bytes.fromhex(self.args.stray))
        running = [True]
        signal.signal(signal.SIGTERM, lambda *_: running.__setitem__(0, False))
        signal.signal(signal.SIGINT, lambda *_: running.__setitem__(0, False))
        signal.signal(signal.SIGUSR1, lambda *_: self.dump())
        signal.signal(signal.SIGUSR2, lambda *_: setattr(self.args, "silent", not self.args.silent))
        while running[0]:
            try:
                ready, _, _ = select.select([self.master], [], [], 0.2)
            except InterruptedError:
                continue
            if not ready:
                continue
            try:
                data = os.read(self.master, 4096)
            except OSError:
                continue
            self.note("in", data)
            self.pending += data
            self.handle()


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--silent", action="store_true",
                   help="answer nothing (SIGUSR2 switches this on and off)")
    p.add_argument("--delay-ms", type=int, default=0, help="wait before each reply")
    p.add_argument("--stray", help="hex bytes sent once at start")
    p.add_argument("--short-read", action="store_true", help="reply 608 bytes to a read")
    p.add_argument("--no-found", action="store_true", help="ignore the probe")
    p.add_argument("--record", help="start from this 600-byte record")
    p.add_argument("--dump", help="keep the current record in this file")
    p.add_argument("--log", help="append every byte in and out to this file")
    Unit(p.parse_args()).run()


if __name__ == "__main__":
    main()
