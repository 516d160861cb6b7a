"""One guest running in QEMU: its console, read with a deadline, carries the
init's commands and answers (init.sh); lowrad-sim in its DEVICE mode is the
counter on the host's end of the QEMU pty wired to the guest's UART."""
import base64
import os
import re
import select
import subprocess
import time
import tty

from . import paths, traces
from .commands import Failure

PERIOD = "0.1"  # seconds between the simulated counter's frames
WAIT = 60  # longest wait for one step in the guest, seconds
BACKLOG = 600  # bytes waiting in QEMU's pty at lowrad's first opening
RUN = 19  # frames the counter sends in each run: just what lowrad takes


class Reader:
    """Lines and prompts from a process's output, waited for with a deadline."""

    def __init__(self, stream):
        self.stream, self.text = stream, ""

    def wait(self, pattern, timeout=WAIT):
        deadline = time.monotonic() + timeout
        while True:
            found = re.search(pattern, self.text)
            if found:
                self.text = self.text[found.end():]
                return found
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.stream], [], [], left)[0]:
                raise Failure(f"no {pattern!r} within {timeout} s; last output: {self.text[-300:]!r}")
            chunk = os.read(self.stream.fileno(), 65536)
            if not chunk:
                raise Failure(f"output ended before {pattern!r}: {self.text[-300:]!r}")
            self.text += chunk.decode("latin-1").replace("\r", "")


class Machine:
    """The guest booted, its init ready for commands; close() ends it."""

    def __init__(self, guest, qemu, machine, kernel_image, initrd, trace):
        command = [qemu, *machine, *guest.memory,
                   "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
                   *guest.wiring, "-kernel", kernel_image, "-initrd", initrd,
                   "-append", " ".join([f"console={guest.console} quiet loglevel=1 panic=-1",
                                        *guest.append]),
                   *[word for event in guest.trace for word in ("-trace", event)], "-D", trace]
        self.guest, self.trace, self.sim, self.line = guest, trace, None, None
        self.qemu = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            self.start()
        except BaseException:
            self.close()
            raise

    def start(self):
        # QEMU names the pty on the console's stream, before the guest starts.
        self.console = Reader(self.qemu.stdout)
        pty = self.console.wait(r"char device redirected to (/dev/pts/\d+)").group(1)
        # What came down the line while the guest's port was closed: QEMU's
        # pty holds it, where a real UART would have lost it. Bytes that hold
        # no frame (no 0xFF among them), so that however much of it the
        # driver's default settings echo, alter or drop before lowrad's take
        # hold, none of it can be counted; the frames come after it.
        self.line = os.open(pty, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.line)
        os.write(self.line, bytes([5, 0, 4]) * (BACKLOG // 3))
        # Each run of the counter starts once lowrad has opened the port and
        # sends no more than lowrad takes, so that no frame of a run is left
        # in QEMU's pty for the next one.
        self.sim = subprocess.Popen(
            [paths.program("lowrad-sim"), "--period", PERIOD, "--frames", str(RUN),
             "--silent-run", "1", "--background-counts", "5", "--sample-counts", "8", pty],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.log = Reader(self.sim.stdout)
        self.waited = None
        booted = self.console.wait(r"((?:.|\n)*?)@ready\n").group(1)
        self.serial = {int(port): line for line, port in
                       re.findall(r"@serial ((\d+):[^\n]*)\n", booted)}

    def say(self, text):
        self.qemu.stdin.write(text.encode())
        self.qemu.stdin.flush()

    def command(self, command):
        """Runs one of the init's commands that answer with no more than @ready."""
        self.say(command + "\n")
        self.console.wait("@ready\n")

    def answer(self, pattern):
        """What the init answers in its line that pattern matches, up to its @ready."""
        found = self.console.wait(pattern)
        self.console.wait("@ready\n")
        return found

    def out(self):
        """The init's @status and @out lines: a status and the output in base64."""
        status = int(self.console.wait(r"@status (\d+)\n").group(1))
        return status, base64.b64decode(self.console.wait(r"@out (\S*)\n").group(1))

    def lowrad(self, port, steps):
        """Runs lowrad in the guest, on ttyS<port>, or as the init's lowrad
        command has it where port is "PORT DRIVER DEVICE". Each step waits for
        a text from lowrad, then sends an answer; where the answer is a
        function, it is called and what it returns, if anything, is sent.
        Returns lowrad's output, its exit status and the guest's line of the
        port in /proc/tty/driver afterwards; waited is how long lowrad waited
        for data before it gave up, on the guest's clock."""
        self.say(f"lowrad {port}\n")
        for text, answer in steps:
            self.console.wait(re.escape(text))
            answer = answer() if callable(answer) else answer
            if answer is not None:
                self.say(answer + "\n")
        status = int(self.console.wait(r"@status (\d+)\n").group(1))
        times = [float(t) for t in self.console.wait(r"@times([^\n]*)\n").group(1).split()]
        output = base64.b64decode(self.console.wait(r"@out (\S*)\n").group(1))
        serial = self.answer(r"@serial ([^\n]*)\n").group(1)
        self.waited = times[1] - times[0] if len(times) == 2 else None
        return output, status, serial

    def shell(self, command):
        """Runs a shell command in the guest: its exit status and output."""
        self.say(f"sh {command}\n")
        status, output = self.out()
        self.console.wait("@ready\n")
        return status, output.decode("latin-1")

    def move_sample(self, *moves):
        self.sim.stdin.write(b"\n" * len(moves))
        self.sim.stdin.flush()
        for now in moves:
            self.log.wait(f"sample {now}\n")

    def stop(self):
        self.sim.terminate()
        self.sim.wait()

    def traced(self):
        """The line settings the driver has given the UART last, from QEMU's trace."""
        with open(self.trace, encoding="latin-1") as trace:
            return traces.DECODERS[self.guest.line](trace.read())

    def close(self):
        if self.sim and self.sim.poll() is None:
            self.stop()
        if self.line is not None:
            os.close(self.line)
        try:
            self.say("off\n")
            if self.guest.halts:
                # The CPUs halt, but without PSCI QEMU goes on running.
                self.console.wait("System halted", 30)
            else:
                self.qemu.wait(timeout=30)
        except (BrokenPipeError, subprocess.TimeoutExpired, Failure):
            pass
        if self.qemu.poll() is None:
            self.qemu.kill()
        self.qemu.wait()
