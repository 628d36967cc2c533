#!/usr/bin/env python3
# attack.py - a normal client's round trip against one daemon, quiet and while hostile clients run
#
# usage: bench/attack.py [path to vorlen] [--max-memory BYTES] [--rounds N]
#
# A private daemon is started on a free port. A normal client (a Send of 64
# bytes to a process that receives and replies) is timed alone, then at once
# while an attack runs against the same daemon, for each of:
#   announce   1000 connections, each announcing a 64 MiB Send and sending 64 KiB of it
#   stalled    200 connections, each with half a request sent and then silent
#   idle       16000 idle connections of one user (another user than the normal client's)
#   flood      a pipelined flood of requests under a pid the connection cannot prove
# For each it reports the round trip's median against the quiet one, and the
# daemon's peak resident memory (VmHWM, reset before each attack where the
# kernel allows it). Run as root, every attack runs as nobody, an unprivileged
# user other than the normal client's; the idle attack needs that (the
# per-user caps must be the attacker's, not the normal client's).
import os
import resource
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HDR = struct.Struct("<HHiiiHHI")
MT_SEND, MT_RECEIVE, MT_REPLY, MT_SIN = 1, 2, 4, 5


def hdr(typ, pid, msg_len):
    return HDR.pack(typ, 0, pid, 0, 0, 0, 0, msg_len)


def send_req(typ, pid, to, data):
    body = struct.pack("<iiI", to, 0, 1) + struct.pack("<I", len(data)) + data
    return hdr(typ, pid, len(body)) + body


def recv_exact(s, n):
    b = b""
    while len(b) < n:
        r = s.recv(n - len(b))
        if not r:
            raise EOFError
        b += r
    return b


def recv_answer(s):
    h = recv_exact(s, HDR.size)
    retcode, _, frm, _, _, _, _, ln = HDR.unpack(h)
    return retcode, frm, recv_exact(s, ln) if ln else b""


def connect(port):
    s = socket.create_connection(("127.0.0.1", port))
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def peak_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


def reset_peak(pid):
    try:
        with open("/proc/%d/clear_refs" % pid, "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def server(port):
    """The receiving process: Receive, Reply with what came, forever."""
    s = connect(port)
    me = os.getpid()
    rcv = hdr(MT_RECEIVE, me, 12) + struct.pack("<iII", 0, 0, 64)
    while True:
        s.sendall(rcv)
        retcode, frm, data = recv_answer(s)
        if retcode:
            continue
        s.sendall(send_req(MT_REPLY, me, frm, data))
        recv_answer(s)


def round_trips(port, srv, n):
    s = connect(port)
    me = os.getpid()
    msg = send_req(MT_SEND, me, srv, b"x" * 64)
    times = []
    for _ in range(n):
        t = time.perf_counter()
        s.sendall(msg)
        retcode, _, data = recv_answer(s)
        if retcode or len(data) != 64:
            raise RuntimeError("round trip failed: retcode %d" % retcode)
        times.append(time.perf_counter() - t)
    s.close()
    return statistics.median(times) * 1e6


def attacker(kind, port, ready_w, stop_r):
    """Runs one attack in this child until stop_r has something to read."""
    socks = []
    me = os.getpid()
    if os.getuid() == 0:
        # An attacker is an unprivileged user: root could end the daemon anyway.
        resource.setrlimit(resource.RLIMIT_NOFILE, (20000, 20000))
        os.setgid(65534)
        os.setuid(65534)
    if kind == "idle":
        for _ in range(16000):
            try:
                socks.append(connect(port))
            except OSError:
                break
    elif kind == "announce":
        part = hdr(MT_SEND, me, 64 << 20) + struct.pack("<iiI", me, 0, 1)
        part += struct.pack("<I", (64 << 20) - 16) + b"a" * 65536
        for _ in range(1000):
            s = connect(port)
            s.setblocking(False)
            try:
                s.send(part)
            except OSError:
                pass
            socks.append(s)
    elif kind == "stalled":
        half = hdr(MT_SIN, me, 4)[:14]
        for _ in range(200):
            s = connect(port)
            s.sendall(half)
            socks.append(s)
    os.write(ready_w, b"r")
    if kind == "flood":
        s = connect(port)
        s.setblocking(False)
        burst = (hdr(MT_SIN, 1, 4) + struct.pack("<i", 0)) * 4096
        while True:
            try:
                s.send(burst)
                s.recv(1 << 20)
            except BlockingIOError:
                pass
            except OSError:
                s = connect(port)
                s.setblocking(False)
            if os.read(stop_r, 1) if select_readable(stop_r) else False:
                break
    else:
        os.read(stop_r, 1)
    os._exit(0)


def select_readable(fd):
    import select

    return bool(select.select([fd], [], [], 0)[0])


def main():
    args = sys.argv[1:]
    program = "build/bin/vorlen"
    max_memory = str(1 << 30)
    rounds = 2000
    while args:
        a = args.pop(0)
        if a == "--max-memory":
            max_memory = args.pop(0)
        elif a == "--rounds":
            rounds = int(args.pop(0))
        else:
            program = a
    resource.setrlimit(resource.RLIMIT_NOFILE, (20000, 20000))
    with socket.socket() as p:
        p.bind(("127.0.0.1", 0))
        port = p.getsockname()[1]
    work = tempfile.mkdtemp()
    daemon = subprocess.Popen([os.path.abspath(program), "-p", str(port), "-d",
                               "--max-memory", max_memory], cwd=work,
                              stdout=subprocess.DEVNULL)
    for _ in range(200):
        try:
            connect(port).close()
            break
        except OSError:
            time.sleep(0.05)
    srv = os.fork()
    if srv == 0:
        server(port)
    time.sleep(0.2)
    try:
        round_trips(port, srv, rounds)  # warms up
        print("daemon: --max-memory %s; peak before the attacks %d KiB" %
              (max_memory, peak_kib(daemon.pid)))
        kinds = os.environ.get("ATTACKS", "announce stalled idle flood").split()
        for kind in kinds:
            if kind == "idle" and os.getuid() != 0:
                print("%-9s skipped: needs root" % kind)
                continue
            # The quiet figure is taken right before each attack, so that
            # each ratio compares two measurements made a moment apart.
            quiet = round_trips(port, srv, rounds)
            reset = reset_peak(daemon.pid)
            ready_r, ready_w = os.pipe()
            stop_r, stop_w = os.pipe()
            child = os.fork()
            if child == 0:
                attacker(kind, port, ready_w, stop_r)
            os.read(ready_r, 1)
            time.sleep(0.5)
            try:
                under = round_trips(port, srv, rounds)
                peak = peak_kib(daemon.pid)
            finally:
                os.kill(child, signal.SIGKILL)
                os.waitpid(child, 0)
            for fd in (ready_r, ready_w, stop_r, stop_w):
                os.close(fd)
            print("%-9s round trip %7.1f us  quiet %7.1f us  ratio %.2f  daemon peak %d KiB%s" %
                  (kind, under, quiet, under / quiet, peak, "" if reset else " (since start)"))
            time.sleep(0.5)
    finally:
        os.kill(srv, signal.SIGKILL)
        os.waitpid(srv, 0)
        daemon.terminate()
        daemon.wait()


if __name__ == "__main__":
    main()
