"""check-uart: lowrad on the kernel's serial drivers in QEMU guests
(docs/real-drivers.md). Each guest shows lowrad's whole output against the
texts tool's, the exit status, the line settings the driver gave the UART at
each opening, a silent line's time-out, a port without a UART, and what the
guest sent on the counter's line."""
import concurrent.futures
import dataclasses
import os
import re
import shutil
import subprocess
import sys
import threading
import time

from . import doctor, hosts, images, paths, texts
from .commands import Failure, need
from .guests import GUESTS
from .runner import BACKLOG, Machine
from .traces import settings_text

# Guests running at once, one a core: with more, a guest's lowrad, starved of
# the host's CPU, ends its 12-s wait more than 5 % late on a busy host.
SIDE_BY_SIDE = os.cpu_count()


def count(direction, serial):
    """The bytes the driver counted in a direction, tx or rx."""
    return int(re.search(direction + r":(\d+)", serial).group(1))


def expected(scenario, device):
    return texts.text(scenario, device).encode("latin-1")


def verdict(say, name, output, status, want):
    if output != want or status != 0:
        raise Failure(f"{name}: status {status}, output differs from the expected "
                      f"{len(want)} bytes:\n  got      {output!r}\n  expected {want!r}")
    say(f"  {name}: transcript {len(output)} bytes exactly as expected, exit status 0")


@dataclasses.dataclass(frozen=True)
class Boot:
    """What a guest boots and runs, built and fetched."""
    kernel_image: str
    programs: list  # lowrad first, then those the guest needs beside it
    busybox: str
    libdir: str  # where the programs' libraries are
    accel: str  # KVM or TCG
    machine: list  # QEMU's machine, accelerator and CPU


def flock(debarch):
    """util-linux's flock for debarch: it holds a port in the doctor's rows."""
    return shutil.which("flock") if hosts.native(debarch) else \
        images.unpacked("util-linux", debarch, "usr/bin/flock")


def prepare(guest, packaged):
    """The guest's Boot; packaged holds each foreign architecture's programs,
    as futures of their builds."""
    kernel_image = images.kernel(guest)
    accel, machine = hosts.accelerated(guest)
    if guest.dtb:
        machine += ["-dtb", images.pi_device_tree(guest, kernel_image)]
    if hosts.native(guest.debarch):
        programs, busybox = os.path.dirname(paths.program("lowrad")), shutil.which("busybox")
    else:
        busybox = images.unpacked("busybox-static", guest.debarch, "bin/busybox")
        programs = packaged[guest.debarch].result()
    names = ["lowrad"] + (["lowrad-run"] if guest.mapped else []) + \
        (["lowrad-doctor"] if guest.doctor else [])
    holders = [flock(guest.debarch)] if guest.doctor == "rows" else []
    run = [os.path.join(programs, name) for name in names] + holders
    return Boot(kernel_image, run, busybox, hosts.libraries(guest.debarch), accel, machine)


def check(name, guest, boot, say):
    started = time.monotonic()
    qemu = hosts.ARCHITECTURES[guest.debarch].qemu
    say(f"{name}: {os.path.basename(boot.kernel_image)}, {qemu} ({boot.accel}), "
        f"{boot.programs[0]}")
    initrd = images.cache(f"initrd-{name}.cpio")
    loaded = images.modules(guest, boot.kernel_image)
    images.initramfs(guest, boot.programs, loaded, boot.busybox, boot.libdir, initrd)
    running = Machine(guest, qemu, boot.machine, boot.kernel_image, initrd,
                      images.cache(f"trace-{name}.log"))
    try:
        cycles(guest, running, started, say)
        if guest.doctor:
            doctor.CHECKS[guest.doctor](running, guest, say)
    finally:
        running.close()
    say(f"  {name} done in {time.monotonic() - started:.1f} s")


def ports(guest, running, started, say):
    """Reports the guest's ports and holds them to what the guest must have."""
    mapped, counter = guest.mapped, guest.counter
    device = "/dev/ttyS0" if mapped else f"/dev/ttyS{counter}"
    say(f"  booted in {time.monotonic() - started:.1f} s; counter {running.serial[counter]}"
        + (f", reached as {device} through lowrad-run --map ttyS0={mapped}" if mapped else ""))
    kinds = {counter: guest.kind}
    if guest.silent is not None:
        say(f"  silent line: {running.serial[guest.silent]}")
        kinds[guest.silent] = "uart:16550A"
    if guest.nouart is not None:
        say(f"  no UART: {running.serial[guest.nouart]}")
        kinds[guest.nouart] = "uart:unknown"
    if any(kind not in running.serial.get(port, "") for port, kind in kinds.items()):
        raise Failure("the guest's ports are not as expected")
    return device


def cycles(guest, running, started, say):
    """lowrad's cycles on the counter's port, its time-out on a silent line,
    and its failure on a port without a UART."""
    device = ports(guest, running, started, say)
    # lowrad reaches the counter's port itself, or through the runner as ttyS0.
    route = f"{guest.counter} {guest.driver} {guest.mapped}" if guest.mapped else guest.counter
    answer = "0" if guest.mapped else str(guest.counter)
    menu, background, sample, convert, again = map(texts.prompt, (
        "banner", "backgroundprompt", "sampleprompt", "convertquestion", "restartquestion"))
    opened = texts.line("opened") + "\n"
    programmed = []  # the UART's last parameters once lowrad has opened the port

    def start(*moves):
        programmed.append(running.traced())
        running.move_sample(*moves)

    # The first opening after boot meets the driver's default settings,
    # with echo, while the backlog pours in. The counter's first run is
    # silent; once the port is open, the sample goes on and off at once,
    # which starts a background run of frames behind the backlog.
    output, status, serial = running.lowrad(route, [
        (menu, answer), (background, "G"), (opened, lambda: start("placed", "removed")),
        (sample, "G"), (opened, lambda: start("placed")), (convert, "y"),
        (texts.line("coefficient"), "0.5"), (texts.line("mass"), "2"), (again, "n")])
    verdict(say, "cycle with conversion, first opening after boot", output, status,
            expected("converted", device))
    # usbserial counts no bytes.
    counted = "tx:" in serial
    echoed = count("tx", serial) if counted else None
    say(f"    {BACKLOG} bytes without a frame waiting at the first opening; "
        + (f"tx {echoed} bytes, rx {count('rx', serial)} bytes" if counted
           else f"/proc/tty/driver/{guest.driver} counts no bytes"))

    # The same again: the driver keeps lowrad's settings from its last run.
    output, status, serial = running.lowrad(route, [
        (menu, answer), (background, "G"), (opened, lambda: start("removed")),
        (sample, "G"), (opened, lambda: start("placed")), (convert, "n"), (again, "n")])
    verdict(say, "cycle without conversion, later openings", output, status,
            expected("declined", device))
    if counted:
        say(f"    tx {count('tx', serial) - echoed} bytes more, rx {count('rx', serial)} "
            "bytes in all")
        if count("tx", serial) != echoed:
            raise Failure("the guest transmitted on the counter's line after its first opening")

    for command, wanted in guest.commands:
        status, output = running.shell(command)
        say(f"  $ {command}\n" + "".join(f"    {line}\n" for line in output.splitlines())
            + f"    (exit status {status})")
        if status != 0 or not re.search(wanted, output):
            raise Failure(f"{command!r} shows no {wanted!r}")

    # A line where nothing comes: lowrad gives up. Where the guest has no
    # UART to spare, the counter's own line, the counter stopped.
    if guest.silent is None:
        running.stop()
        name, silent_route, silent_answer, silent_device = \
            f"counter's line on {device}, the counter stopped", route, answer, device
    else:
        name, silent_route, silent_answer, silent_device = \
            f"silent line on ttyS{guest.silent}", guest.silent, str(guest.silent), \
            f"/dev/ttyS{guest.silent}"
    output, status, serial = running.lowrad(silent_route, [
        (menu, silent_answer), (background, "G"),
        (opened, lambda: programmed.append(running.traced()))])
    verdict(say, name, output, status, expected("silent", silent_device))
    timed_out(running.waited, say)
    say(f"  UART at lowrad's {len(programmed)} openings: {settings_text(programmed)}")
    if guest.reason:
        say(f"    {guest.reason}")
    if programmed != [guest.expect] * 5:
        raise Failure("the UART was not left at the settings expected")

    # A ttySn that the driver knows but without a UART behind it.
    if guest.nouart is not None:
        output, status, serial = running.lowrad(guest.nouart, [
            (menu, str(guest.nouart)), (background, "G")])
        verdict(say, f"ttyS{guest.nouart} without a UART", output, status,
                expected("nouart", f"/dev/ttyS{guest.nouart}"))


def timed_out(seconds, say):
    """lowrad's wait on a silent line, on the guest's clock, within 5 % of its time-out."""
    if seconds is None:
        raise Failure("lowrad did not wait for data and give up")
    silence = texts.timeout()
    say(f"    timed out after {seconds:.2f} s of the guest's uptime "
        f"({silence:g} s within 5 %: {0.95 * silence:.2f} to {1.05 * silence:.2f})")
    if abs(seconds - silence) > 0.05 * silence:
        raise Failure(f"time-out after {seconds:.2f} s")


def main(arguments):
    """check-uart [BUILD [GUEST...]]; the status of the command."""
    started, load = time.monotonic(), os.getloadavg()[0]
    if any(name not in GUESTS for name in arguments[1:]):
        print(f"usage: scripts/check-uart [BUILD [GUEST...]]; the guests: {' '.join(GUESTS)}",
              file=sys.stderr)
        return 2
    paths.use(arguments[0] if arguments else os.path.join(paths.ROOT, "build"))
    try:
        need("cpio", "cpio")
        need("busybox", "busybox-static")
        need("fdtput", "device-tree-compiler")
        chosen = {name: guest for name, guest in GUESTS.items()
                  if name in (arguments[1:] or [name])}
        for guest in chosen.values():
            architecture = hosts.ARCHITECTURES[guest.debarch]
            need(architecture.qemu, architecture.package)
            if not hosts.native(guest.debarch):
                hosts.cross_compiler(guest.debarch)
                hosts.known(guest.debarch)
        os.makedirs(images.cache(), exist_ok=True)
        # Everything built and fetched first, so that a failure there shows at
        # once. The foreign architectures' packages build side by side while
        # the kernels are fetched and their packages linted.
        foreign = sorted({guest.debarch for guest in chosen.values()
                          if not hosts.native(guest.debarch)})
        with concurrent.futures.ThreadPoolExecutor() as builds:
            packaged = {debarch: builds.submit(hosts.packaged, debarch) for debarch in foreign}
            boots = {name: prepare(guest, packaged) for name, guest in chosen.items()}
        print(f"check-uart: built and fetched in {time.monotonic() - started:.1f} s", flush=True)
        side_by_side(chosen, boots)
    except (Failure, subprocess.CalledProcessError) as failure:
        print(f"check-uart: FAILED: {failure}", file=sys.stderr)
        return 1
    # The host's load tells how far others' work stretched the figure.
    print(f"check-uart: passed in {time.monotonic() - started:.1f} s on {os.cpu_count()} cores, "
          f"load average {load:.1f} at the start and {os.getloadavg()[0]:.1f} at the end")
    return 0


def side_by_side(chosen, boots):
    """Checks the guests side by side, SIDE_BY_SIDE at a time; prints each
    one's report once it is done."""
    failures = []
    printing, running = threading.Lock(), threading.Semaphore(SIDE_BY_SIDE)

    def guest_check(name):
        lines = []
        try:
            with running:
                check(name, chosen[name], boots[name], lines.append)
        except Exception as failure:  # pylint: disable=broad-except
            # Whatever goes wrong in a guest fails the check, not just its thread.
            failures.append(f"{name}: {failure!r}")
        with printing:
            print("\n".join(lines), flush=True)

    threads = [threading.Thread(target=guest_check, args=(name,)) for name in boots]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise Failure("\n".join(failures))
