"""Redis Cluster on loopback from Debian's redis-server, for benchmarks and tests.

`Cluster()` starts masters with replicas (three and one each by default) in
cluster mode with no persistence, bound to 127.0.0.1 on ports found free, their
files in a temporary directory; joins them with `redis-cli --cluster create`;
waits for `cluster_state:ok`; and stops them all when asked or at exit, and
when the process that started them dies (even by SIGKILL). Every node asks for
PASSWORD (clients and replicas alike). Start a cluster from the main thread: its
nodes end with the thread that started them.
"""

from __future__ import annotations

import atexit
import ctypes
import os
import random
import shutil
import signal
import socket
import subprocess
import tempfile
import time

# How long a master may stay silent before its replica takes over: short, so
# that a failover test does not wait long; long enough for a loaded machine.
NODE_TIMEOUT_MS = 1000
START_TIMEOUT = 30.0
# Every node asks for it (clients and replicas): clients go through
# authentication, as they do on any real cluster, and can be refused.
PASSWORD = "quillmap-test"


try:
    _prctl = ctypes.CDLL(None, use_errno=True).prctl
except (OSError, AttributeError):  # not Linux
    _prctl = None
_PR_SET_PDEATHSIG = 1


def _bound_to(parent: int):
    """For a node's process, before exec: SIGKILL when the thread that started
    it ends, whatever ends it (a test run or benchmark killed with SIGKILL or
    SIGTERM leaves no server behind; the nodes run in a session of their own,
    out of reach of the terminal's Ctrl-C and of a process-group kill)."""
    def bind() -> None:
        if _prctl is not None:
            _prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)
            if os.getppid() != parent:  # it ended before the line above
                os.kill(os.getpid(), signal.SIGKILL)
    return bind


def _free(port: int) -> bool:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def _pick_ports(count: int) -> list[int]:
    """Ports free on loopback together with their cluster bus port (+10000)."""
    ports: list[int] = []
    while len(ports) < count:
        p = random.randrange(20000, 45000)
        if p not in ports and _free(p) and _free(p + 10000):
            ports.append(p)
    return ports


def _cli(port: int, *args: str, timeout: float = 5.0) -> str:
    r = subprocess.run(["redis-cli", "-h", "127.0.0.1", "-p", str(port), "-a", PASSWORD, "--no-auth-warning",
                        *args], capture_output=True,
                       text=True, timeout=timeout)
    return r.stdout


class Cluster:
    """redis-server processes forming one cluster (by default three masters with a replica each);
    `url` (with the password) reaches any of them."""

    def __init__(self, masters: int = 3, replicas: int = 1) -> None:
        self.masters_wanted, self.replicas = masters, replicas
        if shutil.which("redis-server") is None or shutil.which("redis-cli") is None:
            raise RuntimeError("redis-server and redis-cli are needed (Debian package redis-server)")
        self.dir = tempfile.mkdtemp(prefix="quillmap-redis-")
        self.procs: dict[int, subprocess.Popen] = {}
        self.ports: list[int] = []
        self.paused: set[int] = set()
        atexit.register(self.stop)

    @property
    def url(self) -> str:
        return f"redis://:{PASSWORD}@127.0.0.1:{self.live_ports()[0]}"

    def live_ports(self) -> list[int]:
        """Ports of the nodes that run and answer (not paused)."""
        return [p for p in self.ports if self.procs[p].poll() is None and p not in self.paused]

    def _start_node(self, port: int) -> None:
        d = os.path.join(self.dir, str(port))
        os.makedirs(d, exist_ok=True)
        log = open(os.path.join(d, "log"), "ab")
        self.procs[port] = subprocess.Popen(
            ["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--dir", d,
             "--cluster-enabled", "yes", "--cluster-config-file", "nodes.conf",
             "--cluster-node-timeout", str(NODE_TIMEOUT_MS), "--save", "", "--appendonly", "no",
             "--repl-diskless-sync-delay", "0", "--requirepass", PASSWORD, "--masterauth", PASSWORD, "--daemonize", "no"],
            stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, start_new_session=True,
            preexec_fn=_bound_to(os.getpid()))
        log.close()

    def start(self) -> "Cluster":
        for attempt in range(3):
            self.ports = _pick_ports(self.masters_wanted * (1 + self.replicas))
            for p in self.ports:
                self._start_node(p)
            if self._all_answer(10.0):
                break
            self.stop()  # a port taken meanwhile by someone else: try others
        else:
            raise RuntimeError(f"redis-server did not start; logs in {self.dir}")
        r = subprocess.run(["redis-cli", "--cluster", "create", *(f"127.0.0.1:{p}" for p in self.ports),
                            "--cluster-replicas", str(self.replicas), "--cluster-yes", "-a", PASSWORD, "--no-auth-warning"],
                           capture_output=True, text=True, timeout=START_TIMEOUT)
        if r.returncode != 0:
            raise RuntimeError(f"redis-cli --cluster create failed: {r.stdout}{r.stderr}")
        self.wait_ok()
        return self

    def _all_answer(self, timeout: float) -> bool:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if any(self.procs[p].poll() is not None for p in self.ports):
                return False
            if all(_cli(p, "ping").strip() == "PONG" for p in self.ports):
                return True
            time.sleep(0.05)
        return False

    def wait_ok(self, timeout: float = START_TIMEOUT) -> None:
        """Until every live node says cluster_state:ok and sees the same number of masters with slots."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            states = [_cli(p, "cluster", "info") for p in self.live_ports()]
            if all("cluster_state:ok" in s and "cluster_slots_assigned:16384" in s for s in states):
                return
            time.sleep(0.1)
        raise RuntimeError(f"cluster not ok after {timeout} s; logs in {self.dir}")

    def wait_replicated(self, timeout: float = START_TIMEOUT) -> None:
        """Until every live master has as many replicas in sync (state=online) as the cluster was made with."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            masters = self.masters()
            if len(masters) == self.masters_wanted and all(
                    _cli(p, "info", "replication").count("state=online") >= self.replicas for p in masters):
                return
            time.sleep(0.1)
        raise RuntimeError(f"replicas not in sync after {timeout} s; logs in {self.dir}")

    def wait_failover(self, port: int, timeout: float = START_TIMEOUT) -> None:
        """Until the killed master `port` is marked failed, has lost its slots, and the cluster is ok."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            live = self.live_ports()[0]
            for line in _cli(live, "cluster", "nodes").splitlines():
                f = line.split()
                if len(f) >= 8 and f[1].startswith(f"127.0.0.1:{port}@") and "fail" in f[2].split(",") \
                        and len(f) == 8 and "cluster_state:ok" in _cli(live, "cluster", "info"):
                    return
            time.sleep(0.05)
        raise RuntimeError(f"no failover of {port} after {timeout} s; logs in {self.dir}")

    def masters(self) -> list[int]:
        """Ports of the live masters that serve slots (in one node's view, each confirmed by
        the node itself: a view can still show a restarted node as the master it was)."""
        out = _cli(self.live_ports()[0], "cluster", "nodes")
        ports = []
        for line in out.splitlines():
            f = line.split()
            if len(f) >= 9 and "master" in f[2] and "fail" not in f[2]:
                ports.append(int(f[1].split("@")[0].rsplit(":", 1)[1]))
        return [p for p in ports if p in self.live_ports() and _cli(p, "role").split()[:1] == ["master"]]

    def owner(self, slot: int) -> int:
        """Port of the live master serving hash slot `slot`."""
        for line in _cli(self.live_ports()[0], "cluster", "nodes").splitlines():
            f = line.split()
            if len(f) < 9 or "master" not in f[2] or "fail" in f[2]:
                continue
            for r in f[8:]:
                if not r.startswith("["):  # [slot->-id] marks a migration under way
                    first, _, last = r.partition("-")
                    if int(first) <= slot <= int(last or first):
                        return int(f[1].split("@")[0].rsplit(":", 1)[1])
        raise RuntimeError(f"no master serves slot {slot}")

    def move_slot(self, slot: int, to_port: int) -> None:
        """Move hash slot `slot` with its keys to the master on `to_port`, as a resharding does."""
        ids = {}
        for line in _cli(self.live_ports()[0], "cluster", "nodes").splitlines():
            f = line.split()
            if len(f) >= 8:
                ids[int(f[1].split("@")[0].rsplit(":", 1)[1])] = f[0]
        src = self.owner(slot)

        def ok(port: int, *args: str) -> str:
            out = _cli(port, *args)
            if out.startswith(("ERR", "(error)")) or "ERR" in out.split("\n", 1)[0]:
                raise RuntimeError(f"{' '.join(args[:3])} on {port}: {out.strip()}")
            return out

        ok(to_port, "cluster", "setslot", str(slot), "importing", ids[src])
        ok(src, "cluster", "setslot", str(slot), "migrating", ids[to_port])
        while keys := ok(src, "cluster", "getkeysinslot", str(slot), "100").split():
            ok(src, "migrate", "127.0.0.1", str(to_port), "", "0", "5000", "AUTH", PASSWORD, "KEYS", *keys)
        for port in self.masters():
            ok(port, "cluster", "setslot", str(slot), "node", ids[to_port])

    def kill(self, port: int) -> None:
        """SIGKILL one node."""
        self.procs[port].send_signal(signal.SIGKILL)
        self.procs[port].wait(10)

    def pause(self, port: int) -> None:
        """SIGSTOP one node, as a frozen host: it holds its connections and answers nothing."""
        self.procs[port].send_signal(signal.SIGSTOP)
        self.paused.add(port)

    def resume(self, port: int) -> None:
        self.procs[port].send_signal(signal.SIGCONT)
        self.paused.discard(port)

    def restart(self, port: int) -> None:
        """Start a killed node again: it rejoins (as a replica, when its replica took over)."""
        self._start_node(port)

    def stop(self) -> None:
        for p in list(self.procs.values()):
            if p.poll() is None:
                p.kill()
        for p in self.procs.values():
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                pass
        self.procs.clear()

    def remove(self) -> None:
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)
