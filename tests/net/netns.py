"""Private networks for the tests that send beyond 127.0.0.1.

A test that sends to another host, a multicast group or a broadcast address,
or that takes an interface down, does it inside a network namespace that it
makes here and that is removed when the test ends, on addresses it assigns
itself. Nothing it sends can reach a network outside the machine.

    with Namespace("tx") as tx, Namespace("rx") as rx:
        tx.veth("tx0", "10.201.7.1/24", "rx0", "10.201.7.2/24", peer=rx)
        tx.ip("route", "add", "239.0.0.0/8", "dev", "tx0")
        sock = rx.socket(socket.AF_INET, socket.SOCK_DGRAM)  # lives in rx
        wine = tx.wine(build_dir)                             # wineserver in tx
        wine.popen("tovrin-host.exe", "--start", ...)

Wine makes every socket in wineserver, not in the program, so the wineserver
of a namespace test must itself run in the namespace: `wine()` gives the test
a copy of the build's prefix with a wineserver of its own started inside, and
ends that server before the namespace goes.

Give a Wine program files for its output, not pipes: the prefix's services
(services.exe, winedevice.exe, ...) inherit the first program's stdout and
stderr and live as long as the persistent wineserver, so a reader waiting
for the end of a pipe (communicate(), capture_output=True) waits until the
namespace closes.

Needs root (ip netns, setns).
"""

import contextlib
import ctypes
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import uuid

CLONE_NEWNET = 0x40000000
_libc = ctypes.CDLL(None, use_errno=True)


def _setns(fd):
    if _libc.setns(fd, CLONE_NEWNET) != 0:
        err = ctypes.get_errno()
        raise OSError(err, os.strerror(err), "setns")


def can_make_namespaces():
    """Whether this process may make namespaces (root with iproute2); a test
    should fail, not pass, when it cannot: ask this only to say why."""
    return os.geteuid() == 0 and shutil.which("ip") is not None


class Namespace:
    def __init__(self, tag):
        # Unique per run, so parallel or leftover runs never meet.
        self.name = f"tovrin-{tag}-{os.getpid()}-{uuid.uuid4().hex[:6]}"
        self._processes = []
        self._wines = []

    # --- life ----------------------------------------------------------------

    def __enter__(self):
        subprocess.run(["ip", "netns", "add", self.name], check=True)
        self.ip("link", "set", "lo", "up")
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        for proc in self._processes:
            if proc.poll() is None:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(proc.pid, signal.SIGKILL)
                with contextlib.suppress(subprocess.TimeoutExpired):
                    proc.wait(timeout=10)
        self._processes.clear()
        for wine in self._wines:
            wine.close()
        self._wines.clear()
        # Anything still inside (a forgotten receiver) goes with the namespace.
        pids = subprocess.run(["ip", "netns", "pids", self.name], capture_output=True, text=True).stdout.split()
        for pid in pids:
            with contextlib.suppress(ProcessLookupError, ValueError):
                os.kill(int(pid), signal.SIGKILL)
        subprocess.run(["ip", "netns", "del", self.name], check=False)

    # --- configuration ---------------------------------------------------------

    def ip(self, *args):
        """`ip ARGS` inside the namespace; a failure raises."""
        subprocess.run(["ip", "-n", self.name, *args], check=True)

    def veth(self, a, a_cidr, b, b_cidr, peer):
        """A veth pair: `a` here with a_cidr, `b` in `peer` (another Namespace)
        with b_cidr; both ends up. The far end lives in a namespace of its own:
        with both ends in one, unicast to b's address would go through that
        namespace's loopback instead of the pair."""
        self.ip("link", "add", a, "type", "veth", "peer", "name", b, "netns", peer.name)
        self.ip("addr", "add", a_cidr, "dev", a)
        self.ip("link", "set", a, "up")
        peer.ip("addr", "add", b_cidr, "dev", b)
        peer.ip("link", "set", b, "up")

    def link(self, ifname, up):
        self.ip("link", "set", ifname, "up" if up else "down")

    # --- running things inside ---------------------------------------------------

    def command(self, argv):
        return ["ip", "netns", "exec", self.name, *argv]

    def run(self, argv, **kwargs):
        return subprocess.run(self.command(argv), **kwargs)

    def popen(self, argv, **kwargs):
        """A process inside the namespace, in a process group of its own; it is
        killed with its children when the namespace closes."""
        proc = subprocess.Popen(self.command(argv), start_new_session=True, **kwargs)
        self._processes.append(proc)
        return proc

    @contextlib.contextmanager
    def entered(self):
        """This thread inside the namespace for the duration; sockets made
        meanwhile stay in the namespace afterwards."""
        own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        target = os.open(f"/run/netns/{self.name}", os.O_RDONLY)
        try:
            _setns(target)
            try:
                yield
            finally:
                _setns(own)
        finally:
            os.close(target)
            os.close(own)

    def socket(self, *args):
        with self.entered():
            return socket.socket(*args)

    def wine(self, build_dir):
        """A private copy of the build's Wine prefix whose wineserver runs in
        this namespace."""
        wine = _NamespaceWine(self, build_dir)
        self._wines.append(wine)
        return wine


class _NamespaceWine:
    def __init__(self, ns, build_dir):
        self.ns = ns
        self.build_dir = os.path.abspath(build_dir)
        template = os.path.join(self.build_dir, "wineprefix")
        # The build's prefix is made once, under its lock, by the runner.
        subprocess.run([os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "wine-prefix.sh"),
                        template], check=True)
        self.root = tempfile.mkdtemp(prefix=f"{ns.name}-", dir=self.build_dir)
        self.prefix = os.path.join(self.root, "wineprefix")
        self._mounted = self._overlay(template)
        if not self._mounted:
            subprocess.run(["cp", "-a", template, self.prefix], check=True)
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all")
        # A persistent server, started inside: every later wine process of this
        # prefix connects to it and makes its sockets here.
        ns.run(["wineserver", "-p"], env=self.env, check=True)
        self._closed = False

    def _overlay(self, template):
        """The prefix is some 700 MB: an overlay on the build's prefix costs
        nothing and keeps the test's changes in its own folder. Where overlays
        cannot be mounted, the prefix is copied."""
        upper, work = os.path.join(self.root, "upper"), os.path.join(self.root, "work")
        for d in (upper, work, self.prefix):
            os.makedirs(d)
        mounted = subprocess.run(
            ["mount", "-t", "overlay", "overlay", "-o", f"lowerdir={template},upperdir={upper},workdir={work}",
             self.prefix], capture_output=True).returncode == 0
        if not mounted:
            for d in (upper, work, self.prefix):
                os.rmdir(d)
        return mounted

    def command(self, program, *args, gui=False):
        """argv that runs a Windows program of the build in this prefix, through
        the build's runner (crash detection, private Xvfb with gui=True)."""
        runner = [os.path.join(self.build_dir, "wine-run"), "--prefix", self.prefix]
        if gui:
            runner.append("--gui")
        if not os.path.isabs(program):
            program = os.path.join(self.build_dir, program)
        return runner + [program, *args]

    def popen(self, program, *args, gui=False, **kwargs):
        return self.ns.popen(self.command(program, *args, gui=gui), env=self.env, **kwargs)

    def close(self):
        if self._closed:
            return
        self._closed = True
        self.ns.run(["wineserver", "-k"], env=self.env, check=False)
        self.ns.run(["wineserver", "-w"], env=self.env, check=False)
        if self._mounted:
            subprocess.run(["umount", self.prefix], check=False)
        shutil.rmtree(self.root, ignore_errors=True)
