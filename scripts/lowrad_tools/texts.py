"""lowrad's texts, never typed here: the texts tool (tests/texts.cpp) prints
them from the same pieces as the end-to-end tests, each by name or put
together into a whole scenario on a device.

The lines around a port's opening and the conversion's two questions have no
name of their own in the tool; they are read out of its scenarios, whose
make-up the tool states: "silent" is the banner, the background prompt, the
opening, the wait and the time-out; "nouart" the banner, the background
prompt and the failed opening; "converted" ends with the conversion question,
the coefficient's and the mass's questions, the activity and the restart
question.
"""
import functools
import re
import subprocess

from . import paths


@functools.cache
def text(*arguments):
    """A text by name, or a scenario's whole output with its device."""
    return subprocess.run([paths.program(paths.TEXTS), *arguments], check=True,
                          stdout=subprocess.PIPE).stdout.decode("latin-1")


def prompt(name):
    """The last line of a question: the one where the answer is typed."""
    return text(name).rsplit("\n", 1)[-1]


def _lines(whole, after):
    """The lines of whole that are not empty, from where after ends."""
    at = whole.index(after) + len(after)
    return [line for line in whole[at:].split("\n") if line]


@functools.cache
def line(name):
    """opened, failed: the line after the port's name when lowrad opens it or
    fails to; waiting, timedout: its lines around a silent line's time-out;
    coefficient, mass: the conversion's questions."""
    device = "/dev/ttyS0"
    asked = text("banner") + text("backgroundprompt")
    _, opened, waiting, timedout = _lines(text("silent", device), asked)
    _, failed = _lines(text("nouart", device), asked)
    coefficient, mass, _, _ = _lines(text("converted", device), text("convertquestion"))
    return dict(opened=opened, failed=failed, waiting=waiting, timedout=timedout,
                coefficient=coefficient, mass=mass)[name]


def timeout():
    """lowrad's time-out on a silent line, in seconds, as its waiting line says."""
    return float(re.search(r"(\d+)s time-out", line("waiting")).group(1))
