#!/usr/bin/env python3
# make_corpus.py - writes the daemon fuzzer's seed corpus: one script per scenario (format in fuzz_daemon.cpp)
import os
import struct
import sys

# Steps.
OPEN, CLOSE, REQ, SPLIT, FLUSH, RAW, ADVANCE, NUDGE, WALLSTEP, SWEEP, KILL, REVIVE, STALL, SHUTRD, \
    SHUTWR, NOP = range(16)
# Request kinds.
SEND, RECEIVE, NB_RECEIVE, REREAD, REPLY, SIN, NAME_ATTACH, NAME_DETACH, NAME_QUERY, TRIGGER, \
    MKTIMER, RELABSTIMER, PROXY_ATTACH, PROXY_DETACH, RMTIMER, UNDEF, SHORT, INTERRUPT, BIGSEND, \
    BADBLOCKS, PFLAGS = range(21)
QNX4 = 0x20  # with SEND or PROXY_ATTACH: the request asks for QNX 4 semantics
SIGCATCH = b"\x01"  # the PFLAGS byte of VORLEN_PFLAG_SIGCATCH
NOTIFY_SLEEP, NOTIFY_PROXY, NOTIFY_SIGNAL = 0, 1, 2


def u16(v):
    return struct.pack("<H", v & 0xFFFF)


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def pid(i):
    """The fake pid with index i (0 ... 7)."""
    return bytes([i])


def proxy(n):
    """Proxy id -2 - n for n in 0 ... 3."""
    return bytes([16 + n])


ANY = bytes([23])  # pid 0: any sender


def sig(n):
    """The event byte of a signal timer for signal n."""
    return bytes([n + 2])


def raw_pid(v):
    return bytes([24]) + u32(v)


def blocks(*lens):
    out = bytes([len(lens)]) if len(lens) <= 3 else bytes([0x80 | (len(lens) - 16)])  # 16 ... 143
    for n in lens:
        out += bytes([n]) if n < 255 else bytes([255]) + u16(n)
    return out


def name(i):
    """0 ... 4: srv, a, b/c, a 32-character name, the empty name; 5: no zero; 'nK': n0 ... n63."""
    if isinstance(i, str):
        return bytes([0x80 | int(i[1:])])
    return bytes([i])


def timer_nr(n):
    return bytes([n + 1]) if -1 <= n <= 51 else bytes([255]) + u32(n)


def value(sec=0, nsec_units=0, interval=0, negative=False):
    """it_value = sec s + nsec_units * 4 ms; interval byte as the harness reads it."""
    return bytes([(sec & 3) | (4 if negative else 0), nsec_units, interval])


class Script:
    def __init__(self, verbose=None):
        self.b = bytearray([0xF6 + verbose if verbose is not None else 0])

    def step(self, op, client=0, data=b""):
        self.b += bytes([op | (client << 4)]) + data
        return self

    def open(self, client, pid_index, remote=False, refused=False):
        return self.step(OPEN, client, bytes([pid_index | (8 if remote else 0) |
                                              (16 if refused else 0)]))

    def close(self, client):
        return self.step(CLOSE, client)

    def req(self, client, kind, fields=b"", liar=None, split=None, qnx4=False):
        k = bytes([kind | 0xE0]) + liar if liar is not None else bytes([kind | (QNX4 if qnx4 else 0)])
        if split is None:
            return self.step(REQ, client, k + fields)
        return self.step(SPLIT, client, k + fields + bytes([split]))

    def send(self, client, to, *lens, **kw):
        return self.req(client, SEND, to + blocks(*lens), **kw)

    def reply(self, client, to, *lens, **kw):
        return self.req(client, REPLY, to + blocks(*lens), **kw)

    def receive(self, client, frm, nbytes=100, offset=0, kind=RECEIVE):
        off = bytes([offset]) if offset < 255 else bytes([255]) + u32(offset)
        n = u16(nbytes) if nbytes < 0xFFFF else u16(0xFFFF) + u32(nbytes)
        return self.req(client, kind, frm + off + n)

    def mktimer(self, client, notify, evt=b"\x00", timer_type=0):
        return self.req(client, MKTIMER, bytes([notify, timer_type]) + evt)

    def settimer(self, client, nr, val, absolute=False):
        return self.req(client, RELABSTIMER, bytes([1 if absolute else 0]) + timer_nr(nr) + val)

    def advance(self, ms):
        return self.step(ADVANCE, 0, u16(ms))

    def data(self):
        return bytes(self.b)


def scenarios():
    s = {}

    # The road of one message: name, locate, Receive, Send, Reply.
    t = Script().open(0, 0).open(1, 1)
    t.req(0, NAME_ATTACH, name(0)).req(1, NAME_QUERY, name(0))
    t.receive(0, ANY).send(1, pid(0), 5).reply(0, pid(1), 3)
    s["message-road"] = t.close(1).close(0)

    s["message-road-logged"] = Script(verbose=9).open(0, 0).open(1, 1) \
        .req(0, NAME_ATTACH, name(0)).req(1, NAME_QUERY, name(0)) \
        .receive(0, ANY).send(1, pid(0), 5).reply(0, pid(1), 3) \
        .req(1, SIN, b"\x01").req(1, SIN, b"\x04").close(1).close(0)

    # Send first: the message waits in the queue.
    s["send-queued"] = Script().open(0, 0).open(1, 1).open(2, 2) \
        .send(1, pid(0), 10).send(2, pid(0), 20) \
        .receive(0, ANY).reply(0, pid(1), 1).receive(0, ANY).reply(0, pid(2), 2)

    # A receiver that names its sender skips older messages of others.
    s["receive-by-pid"] = Script().open(0, 0).open(1, 1).open(2, 2) \
        .receive(0, pid(2)).send(1, pid(0), 4).send(2, pid(0), 6) \
        .reply(0, pid(2)).receive(0, pid(1)).reply(0, pid(1), 9)

    # Multipart both ways; a reply of many parts.
    s["multipart"] = Script().open(0, 0).open(1, 1) \
        .receive(0, ANY, nbytes=7).send(1, pid(0), 3, 0, 300) \
        .reply(0, pid(1), *([2] * 18)).receive(0, ANY).send(1, pid(0), 1).reply(0, pid(1), *([1] * 80))

    # A held message read again from an offset, and a Creceive.
    s["reread-offset"] = Script().open(0, 0).open(1, 1) \
        .receive(0, ANY, nbytes=4).send(1, pid(0), 40) \
        .receive(0, pid(1), nbytes=8, offset=10, kind=REREAD) \
        .receive(0, pid(1), nbytes=8, offset=30) \
        .receive(0, ANY, kind=NB_RECEIVE).reply(0, pid(1), 1)

    # Proxies: direct delivery, piled-up triggers, a wait for one proxy.
    t = Script().open(0, 0).open(1, 1)
    t.req(0, PROXY_ATTACH, pid(0) + bytes([10])).receive(0, ANY).req(1, TRIGGER, proxy(0))
    t.req(1, TRIGGER, proxy(0)).req(1, TRIGGER, proxy(0)).req(1, TRIGGER, proxy(0))
    t.req(1, SIN, b"\x02").receive(0, proxy(0)).receive(0, proxy(1))
    t.req(0, PROXY_DETACH, proxy(0)).req(1, TRIGGER, proxy(0))
    s["proxy-trigger"] = t

    # A proxy for a pid that never connected, removed by the sweep when it dies.
    s["proxy-for-absent-pid"] = Script().open(0, 0) \
        .req(0, PROXY_ATTACH, pid(5) + bytes([0])).req(0, TRIGGER, proxy(0)) \
        .req(0, SIN, b"\x02").step(KILL, 0, b"\x05").step(SWEEP).req(0, SIN, b"\x01")

    # A detached proxy while its trigger waits; attach again into the slot.
    s["proxy-detach-pending"] = Script().open(0, 0).open(1, 1) \
        .req(0, PROXY_ATTACH, pid(0) + bytes([3])).req(1, TRIGGER, proxy(0)) \
        .req(0, PROXY_DETACH, proxy(0)).req(0, PROXY_ATTACH, pid(0) + bytes([100])) \
        .receive(0, ANY).req(1, TRIGGER, proxy(0))

    # Sleep timer: the arming request is answered at expiry.
    s["timer-sleep"] = Script().open(0, 0).mktimer(0, NOTIFY_SLEEP) \
        .settimer(0, 1, value(1, 0)).advance(500).advance(600) \
        .settimer(0, 1, value(0, 50)).step(NUDGE, 0, b"\xff").advance(300).req(0, RMTIMER, timer_nr(1))

    # A periodic proxy timer feeding a Receive loop.
    t = Script().open(0, 0).req(0, PROXY_ATTACH, pid(0) + bytes([4]))
    t.mktimer(0, NOTIFY_PROXY, proxy(0)).settimer(0, 1, value(0, 25, interval=50))
    for _ in range(4):
        t.receive(0, ANY).advance(120)
    s["timer-proxy-periodic"] = t.req(0, SIN, b"\x03")

    # A signal timer breaks the owner's Receive; a Send to the owner stays queued.
    s["timer-signal"] = Script().open(0, 0).open(1, 1) \
        .mktimer(0, NOTIFY_SIGNAL, sig(10)).settimer(0, 1, value(0, 10)) \
        .send(1, pid(0), 8).receive(0, pid(2)).advance(100) \
        .send(1, pid(0), 8).advance(100)

    # Absolute timers and a wall clock that jumps.
    s["timer-absolute"] = Script().open(0, 0).mktimer(0, 3).mktimer(0, NOTIFY_SLEEP) \
        .settimer(0, 1, value(2, 0), absolute=True).settimer(0, 2, value(3, 0, interval=0x85), absolute=True) \
        .step(WALLSTEP, 0, bytes([5])).advance(10).step(WALLSTEP, 0, bytes([0xF0])).advance(4000) \
        .settimer(0, 1, bytes([255]) + u32(0) + u32(0xFFFFFFFF) + u32(0x7FFFFFFF) + u32(999999999))

    # Timer requests that name no timer of the caller.
    s["timer-refused"] = Script().open(0, 0).open(1, 1).mktimer(0, NOTIFY_PROXY, bytes([22])) \
        .mktimer(0, NOTIFY_SIGNAL, sig(65)).mktimer(0, 7).settimer(1, 1, value(0, 1)) \
        .req(1, RMTIMER, timer_nr(1)).req(1, RMTIMER, timer_nr(0)).req(1, RMTIMER, timer_nr(51)) \
        .settimer(0, 1, value(0, 1)).req(0, RMTIMER, timer_nr(1), liar=pid(1))

    # A QNX 4 Send, interrupted while its receiver holds it: it stands while the
    # receiver catches signals, else it is answered and the receiver's Readmsg
    # and Reply find no one.
    s["qnx4-send-interrupted"] = Script().open(0, 0).open(1, 1).req(0, PFLAGS, SIGCATCH) \
        .send(1, pid(0), 12, qnx4=True).receive(0, ANY, nbytes=4).req(1, INTERRUPT) \
        .req(0, PFLAGS, b"\x00").req(1, INTERRUPT) \
        .receive(0, pid(1), nbytes=8, offset=4, kind=REREAD).reply(0, pid(1), 3) \
        .send(1, pid(0), 5, qnx4=True).receive(0, ANY).reply(0, pid(1), 2)

    # A signal timer whose owner waits for a reply to a QNX 4 Send.
    s["timer-signal-qnx4-owner"] = Script().open(0, 0).open(1, 1) \
        .mktimer(0, NOTIFY_SIGNAL, sig(10)).settimer(0, 1, value(0, 10, interval=5)) \
        .send(0, pid(1), 8, qnx4=True).receive(1, ANY).advance(100).reply(1, pid(0), 1) \
        .send(0, pid(1), 8).receive(1, ANY).advance(100).reply(1, pid(0), 1)

    # A counting proxy: triggers around a queued Send, received one by one, and
    # a detach while some are pending.
    t = Script().open(0, 0).open(1, 1).open(2, 2)
    t.req(0, PROXY_ATTACH, pid(0) + bytes([6]), qnx4=True)
    t.req(1, TRIGGER, proxy(0)).req(1, TRIGGER, proxy(0)).send(2, pid(0), 4).req(1, TRIGGER, proxy(0))
    t.req(1, SIN, b"\x02").receive(0, ANY, kind=NB_RECEIVE).receive(0, ANY, kind=NB_RECEIVE)
    t.receive(0, proxy(0)).reply(0, pid(2), 1).req(1, TRIGGER, proxy(0)).req(1, TRIGGER, proxy(0))
    s["proxy-counting"] = t.req(0, PROXY_DETACH, proxy(0)).receive(0, ANY, kind=NB_RECEIVE)

    # A server that dies with partners blocked on it in each way.
    s["death-releases"] = Script().open(0, 0).open(1, 1).open(2, 2).open(3, 3) \
        .receive(0, ANY).send(1, pid(0), 5).send(2, pid(0), 5) \
        .req(0, NAME_ATTACH, name(1)).receive(3, pid(0)).close(0) \
        .send(1, pid(0), 1).req(1, NAME_QUERY, name(1))

    # A receiver that dies holding a message; the sender is told.
    s["death-of-receiver"] = Script().open(0, 0).open(1, 1) \
        .receive(0, ANY).send(1, pid(0), 50).close(0).receive(1, ANY, kind=NB_RECEIVE)

    # A process gone while its socket stays: the sweep removes it.
    s["sweep-dead-pid"] = Script().open(0, 0).open(1, 1) \
        .send(1, pid(0), 5).step(KILL, 0, b"\x00").step(SWEEP).step(REVIVE, 0, b"\x00") \
        .open(2, 0).receive(2, ANY, kind=NB_RECEIVE)

    # A client that stops reading: its answers pile up until it is dropped.
    t = Script().open(0, 0).open(1, 1).step(STALL, 0)
    for _ in range(6):
        t.receive(0, ANY, nbytes=9000).send(1, pid(0), 255 * 32).reply(0, pid(1), 255 * 30)
    s["stalled-reader"] = t.step(STALL, 0)

    # A client that never reads again: the daemon's writes fail.
    s["reader-gone"] = Script().open(0, 0).open(1, 1).step(SHUTRD, 0) \
        .receive(0, ANY).send(1, pid(0), 5)

    # Half-closed: the stream ends, answers may still come.
    s["half-close"] = Script().open(0, 0).open(1, 1).receive(0, ANY).send(1, pid(0), 7) \
        .step(SHUTWR, 1).step(SHUTWR, 0)

    # Requests in pieces, and two requests in one write.
    s["split-writes"] = Script().open(0, 0).open(1, 1) \
        .receive(0, ANY, kind=RECEIVE).req(1, NAME_ATTACH, name(2), split=5) \
        .step(FLUSH, 1).req(1, SEND, pid(0) + blocks(20), split=30).step(FLUSH, 1) \
        .reply(0, pid(1), 4, split=1).step(FLUSH, 0)

    # Over the request limit: read and dropped, then refused.
    s["oversized"] = Script().open(0, 0).req(0, BIGSEND, b"\x10").req(0, SIN, b"\x01", split=3) \
        .step(FLUSH, 0)

    # Malformed requests of every kind; the connection stays in step.
    t = Script().open(0, 0).open(1, 1)
    for typ in range(16):
        t.req(0, SHORT, bytes([typ, 7]))
    for u in range(4):
        t.req(0, UNDEF, bytes([u]))
    for how in (0, 5, 10, 19):
        t.req(0, BADBLOCKS, bytes([how]) + pid(1) + blocks(3, 4))
    for k in range(6):
        t.req(0, SIN, bytes([k]))
    t.req(0, NAME_ATTACH, name(5)).req(0, NAME_QUERY, name(5)).req(0, NAME_DETACH, b"\x00")
    t.req(0, PROXY_ATTACH, pid(0) + bytes([105]))
    s["malformed"] = t.step(RAW, 1, bytes([3]) + b"\x01\x02\x03").close(1)

    # Interrupts: a Send broken off, a Receive broken off, a sleep broken off, and an answer that stands.
    s["interrupts"] = Script().open(0, 0).open(1, 1) \
        .send(1, pid(0), 5).req(1, INTERRUPT).receive(0, pid(1)).req(0, INTERRUPT) \
        .mktimer(0, NOTIFY_SLEEP).settimer(0, 1, value(1)).req(0, INTERRUPT).advance(1200) \
        .receive(0, ANY).send(1, pid(0), 3).req(1, INTERRUPT).reply(0, pid(1), 2)

    # A request while the last one is unanswered is refused.
    s["request-while-blocked"] = Script().open(0, 0).open(1, 1) \
        .send(1, pid(0), 5).send(1, pid(0), 6).receive(1, ANY) \
        .receive(0, ANY).receive(0, ANY).reply(0, pid(1))

    # One pid on two connections: the newer takes the record over.
    s["two-connections"] = Script().open(0, 0).open(1, 0).open(2, 2) \
        .receive(0, ANY).req(1, SIN, b"\x01").send(2, pid(0), 5).receive(0, ANY) \
        .close(1).req(0, SIN, b"\x01").close(0)

    # Peers on trust, refused peers and lying headers.
    s["peers"] = Script().open(0, 0, remote=True).open(1, 1, refused=True).open(2, 2) \
        .mktimer(0, NOTIFY_SIGNAL, sig(10)).req(1, SIN, b"\x01") \
        .req(2, SIN, b"\x01", liar=raw_pid(4242)).req(0, SEND, pid(2) + blocks(1)) \
        .receive(2, ANY).reply(2, raw_pid(1000001))

    # Full tables: 50 names, proxies and timers, and one more of each.
    t = Script().open(0, 0)
    for i in range(51):
        t.req(0, NAME_ATTACH, name("n%d" % i))
    t.req(0, NAME_DETACH, bytes([4])).req(0, NAME_ATTACH, name(0))
    s["names-full"] = t
    t = Script().open(0, 0).open(1, 1)
    for i in range(51):
        t.req(0, PROXY_ATTACH, pid(i % 2) + bytes([i]))
    s["proxies-full"] = t.req(1, PROXY_DETACH, proxy(1)).req(0, PROXY_DETACH, proxy(1))
    t = Script().open(0, 0)
    for i in range(51):
        t.mktimer(0, NOTIFY_PROXY, proxy(i % 4))
    s["timers-full"] = t.req(0, RMTIMER, timer_nr(3)).mktimer(0, NOTIFY_SLEEP)

    # Names: taken over from a dead owner, located, refused while alive.
    s["names"] = Script().open(0, 0).open(1, 1).req(0, NAME_ATTACH, name(3)) \
        .req(1, NAME_ATTACH, name(3)).req(1, NAME_QUERY, name(3)).req(1, NAME_DETACH, b"\x01") \
        .step(KILL, 0, b"\x00").req(1, NAME_ATTACH, name(3)).req(1, NAME_QUERY, name(4))

    # Receive from a pid not yet connected, which then connects and sends.
    s["receive-before-connect"] = Script().open(0, 0).receive(0, pid(3)) \
        .open(3, 3).send(3, pid(0), 12).reply(0, pid(3), 12)

    # Send to a proxy id, to 0, to a pid that does not exist.
    s["send-to-nobody"] = Script().open(0, 0).send(0, proxy(0), 1).send(0, ANY, 1) \
        .send(0, raw_pid(999), 1).step(KILL, 0, b"\x04").send(0, pid(4), 1) \
        .receive(0, pid(4)).receive(0, raw_pid(0xFFFFFFFF))

    # Headers that claim another pid: only the connection's own process counts.
    s["liar-headers"] = Script().open(0, 0).open(1, 1) \
        .mktimer(0, NOTIFY_SLEEP).req(0, NAME_ATTACH, name(0)).req(0, PROXY_ATTACH, pid(0) + bytes([1])) \
        .req(1, RELABSTIMER, bytes([0]) + timer_nr(1) + value(0, 10), liar=pid(0)) \
        .req(1, RMTIMER, timer_nr(1), liar=pid(0)).req(1, PROXY_DETACH, proxy(0), liar=pid(0)) \
        .req(1, NAME_DETACH, bytes([2]), liar=pid(0)).advance(100).req(0, SIN, b"\x03")

    return s


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
    os.makedirs(out, exist_ok=True)
    for name_, script in sorted(scenarios().items()):
        with open(os.path.join(out, "seed-" + name_), "wb") as f:
            f.write(script.data())
    print("%d seeds in %s" % (len(scenarios()), out))


if __name__ == "__main__":
    main()
