"""lowrad-doctor on the x86_64 guest's ports, each verdict beside what lowrad
itself says on opening the same port in the same state: "will not open" with
its failed opening, the two others with an opening that succeeds."""
import base64
import re

from . import texts
from .commands import Failure

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
     "dialout, crw-rw----)\n  do:    sudo usermod -aG dialout user", "user", 1, None,
     "will not open"),
    ("held by flock", "flock holds it locked with flock", "root", 1, "hold 1", "will not open"),
    ("a getty", "a getty waits for logins on it", "root", 3, "getty 3", "opens, but shared"),
]
WITHOUT_ARGUMENTS = [("ttyS0", "opens, but shared"), ("ttyS1", "usable"),
                     ("ttyS2", "will not open"), ("ttyS3", "usable")]


def doctor(machine, arguments):
    """lowrad-doctor's output and exit status in the guest."""
    machine.say(f"doctor {arguments}\n")
    status, output = machine.answer(r"@doctor (\d+) (\S*)\n").groups()
    return base64.b64decode(output).decode(), int(status)


def quoted(output):
    return "\n".join("    | " + line for line in output.splitlines())


def rows(machine, say):
    machine.command("users")
    output, status = doctor(machine, "")
    say(f"  lowrad-doctor without arguments, exit status {status}:")
    say(quoted(output))
    verdicts = re.findall(r"^/dev/(ttyS\d): (.+)$", output, re.M)
    if status != 0 or verdicts != WITHOUT_ARGUMENTS:
        raise Failure(f"lowrad-doctor without arguments: status {status}, {verdicts}")
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
        if f"/dev/ttyS{port}: {wanted}\n" not in output or says not in output or not agrees:
            raise Failure(f"lowrad-doctor, {what}: not {wanted!r} with {says!r}, or lowrad "
                          f"disagrees ({opening})")
