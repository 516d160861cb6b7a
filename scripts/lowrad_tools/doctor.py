"""lowrad-doctor in the guests. In the x86_64 guest, each verdict beside what
lowrad itself says on opening the same port in the same state: "will not
open" with its failed opening, the two others with an opening that succeeds.
In the usb guest, a user outside the group dialout told to join it, by the
doctor and by the runner, then the adapter usable at the next login. In the
Pi guests, the report's answer: the port that works."""
import base64
import re

from . import texts
from .commands import Failure

# The doctor's fix for a user outside the group of a device, and the refusal
# of lowrad-run in the same words (runner/privileges.cpp).
JOIN = "sudo usermod -aG dialout user, then log out and in again"
REFUSAL = ("lowrad-run: user is not in the group dialout, which may read and write {device} "
           "(owner root, group dialout, crw-rw----); do: " + JOIN + "\n")

# What the doctor's output must say, who runs both, the port, the set-up and
# its undoing in the guest (init.sh), the doctor's verdict.
ROWS = [
    ("the console", "the kernel's console writes its messages on it", "root", 0, None,
     "opens, but shared"),
    ("the counter's UART", "UART 16550A, I/O port 0x2F8, IRQ 3", "root", 1,
     None, "usable"),
    ("no UART", "no UART answers at ttyS2", "root", 2, None, "will not open"),
    ("a user without the group dialout",
     "user is not in the group dialout, which may read and write /dev/ttyS1 (owner root, group "
     "dialout, crw-rw----)\n  do:    " + JOIN, "user", 1, None, "will not open"),
    ("held by flock", "flock holds it locked with flock", "root", 1, "hold 1", "will not open"),
    ("a getty", "a getty waits for logins on it", "root", 3, "getty 3", "opens, but shared"),
]
WITHOUT_ARGUMENTS = [("/dev/ttyS0", "opens, but shared"), ("/dev/ttyS1", "usable"),
                     ("/dev/ttyS2", "will not open"), ("/dev/ttyS3", "usable")]


def doctor(machine, arguments):
    """lowrad-doctor's output and exit status in the guest."""
    machine.say(f"doctor {arguments}\n")
    status, output = machine.answer(r"@doctor (\d+) (\S*)\n").groups()
    return base64.b64decode(output).decode(), int(status)


def quoted(output):
    return "\n".join("    | " + line for line in output.splitlines())


def way(port):
    """How lowrad reaches a port, in the doctor's words: from its menu, or
    through the runner."""
    menu = re.fullmatch(r"/dev/ttyS([0-3])", port)
    return f"run lowrad and choose {menu.group(1)}" if menu else \
        f"lowrad-run --map ttyS0={port}, then choose 0"


def report(machine, say, who, first, verdicts, status_wanted):
    """lowrad-doctor without arguments run by who ("" for root): its first
    lines after the heading, the answer, the verdicts of the devices given, its
    exit status."""
    output, status = doctor(machine, who)
    say(f"  lowrad-doctor without arguments as {who or 'root'}, exit status {status}:")
    say(quoted(output))
    lines = output.splitlines()
    found = [(device, verdict) for device, verdict in re.findall(r"^(/dev/\S+): (.+)$",
                                                                   output, re.M)
             if device in dict(verdicts)]
    if status != status_wanted or lines[1:1 + len(first)] != first or found != verdicts:
        raise Failure(f"lowrad-doctor as {who or 'root'}: status {status}, not {status_wanted}; "
                      f"answer {lines[1:1 + len(first)]}, not {first}; {found}, not {verdicts}")


def rows(machine, say):
    machine.command("users /dev/ttyS*")
    report(machine, say, "", [f"To measure: {way('/dev/ttyS1')}",
                              f"To measure: {way('/dev/ttyS3')}"], WITHOUT_ARGUMENTS, 0)
    for what, says, who, port, setup, wanted in ROWS:
        if setup:
            machine.command(setup)
        user = "user " if who == "user" else ""
        output, status = doctor(machine, f"{user}/dev/ttyS{port}")
        machine.say(f"opening {user}{port}\n")
        opening = machine.answer(r"@opening ([^\n]*)\n").group(1)
        if setup:
            machine.command("release")
        say(f"  lowrad-doctor, {what}, ttyS{port} as {who}: exit status {status}; "
            f"lowrad: {opening}")
        say(quoted(output))
        agrees = opening == texts.line("failed" if wanted == "will not open" else "opened")
        # Only a usable device makes the doctor's exit status 0.
        if f"/dev/ttyS{port}: {wanted}\n" not in output or says not in output or not agrees \
                or status != (0 if wanted == "usable" else 1):
            raise Failure(f"lowrad-doctor, {what}: not {wanted!r} with {says!r} and its exit "
                          f"status, or lowrad disagrees ({opening})")


def group(machine, guest, say):
    device = guest.mapped
    machine.command(f"users {device}")
    report(machine, say, "user", [f"First: {JOIN}", f"Then:  {way(device)}"],
           [(device, "will not open")], 1)
    status, said = machine.shell(f"su user -c '/usr/bin/lowrad-run --map ttyS0={device}' "
                                 "</dev/null")
    say(f"  lowrad-run --map ttyS0={device} as user: exit status {status}\n{quoted(said)}")
    if status == 0 or said != REFUSAL.format(device=device):
        raise Failure(f"lowrad-run as user outside dialout: status {status}, {said!r}")
    # The next login of user, by su, has the group.
    machine.shell("sed -i 's/^dialout:x:20:$/&user/' /etc/group")
    report(machine, say, "user", [f"To measure: {way(device)}"], [(device, "usable")], 0)


def answer(machine, guest, say):
    port = guest.mapped or f"/dev/ttyS{guest.counter}"
    machine.command(f"users /dev/ttyS* {guest.mapped or ''}")
    report(machine, say, "", [f"To measure: {way(port)}"], [(port, "usable")], 0)


# Each guest's check of lowrad-doctor (guests.Guest.doctor).
CHECKS = {"rows": lambda machine, guest, say: rows(machine, say), "group": group,
          "answer": answer}
