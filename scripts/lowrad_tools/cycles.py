"""lowrad through the runner against the simulator, cycle after cycle, each
answered prompt by prompt: its verdicts and its whole transcript, which
lowrad-assess reads the counts out of. lowrad's verdict on given counts comes
from lowrad too: one cycle with exactly those counts."""
import functools
import json
import os
import subprocess
import sys
import threading

from . import paths, texts

FRAMES = 19  # the frames lowrad takes in a run, the first only starting reception


class Dialogue:
    """lowrad through the runner, answered prompt by prompt."""

    def __init__(self, pty):
        self.process = subprocess.Popen([paths.program("lowrad-run"), "--map", f"ttyS0={pty}"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.text = b""
        self.transcript = b""  # all that lowrad wrote, for lowrad-assess

    def expect(self, *prompts):
        """Reads until one of prompts comes; returns it and what came before it."""
        while True:
            found = [(self.text.find(p), p) for p in prompts if p in self.text]
            if found:
                at, prompt = min(found)
                before, self.text = self.text[:at], self.text[at + len(prompt):]
                self.transcript += before + prompt
                return prompt, before
            chunk = os.read(self.process.stdout.fileno(), 4096)
            if not chunk:
                raise RuntimeError(f"lowrad ended early: {self.text[-300:]!r}")
            self.text += chunk

    def answer(self, word):
        self.process.stdin.write(word.encode() + b"\n")
        self.process.stdin.flush()

    def close(self):
        """Lets lowrad write its last words and end; returns its exit status."""
        self.process.stdin.close()
        while os.read(self.process.stdout.fileno(), 4096):
            pass
        self.process.stdout.close()
        return self.process.wait()


class SimulatorLog:
    """The simulator's log, read all along lest a full pipe stop its counter:
    it says "close N" as each run ends."""

    def __init__(self, stream):
        self.closes = 0
        self.logged = threading.Condition()
        threading.Thread(target=self.read, args=(stream,), daemon=True).start()

    def read(self, stream):
        for line in stream:
            with self.logged:
                self.closes += line.startswith("close ")
                self.logged.notify_all()

    def ended(self, runs):
        """Waits until the simulator has seen runs end: answered sooner, lowrad
        may open the port again before the simulator saw it closed, and the two
        runs merge into one, counted at one rate."""
        with self.logged:
            if not self.logged.wait_for(lambda: self.closes >= runs, timeout=60):
                raise RuntimeError(f"the simulator never saw run {runs} end")


def said(name):
    return texts.text(name).encode("latin-1")


SIGNIFICANT = "convertquestion"  # lowrad offers the conversion only for a significant result
VERDICTS = (SIGNIFICANT, "notsignificant", "shields")


def run_cycles(simulator, cycles, settled=False):
    """Runs cycles against lowrad-sim with the options simulator; returns
    lowrad's verdicts (names of VERDICTS), its transcript and, if a cycle
    failed, why. The cycles finished before a failure are kept. Settled, each
    run starts only once the simulator has seen the one before it end."""
    sim = subprocess.Popen([paths.program("lowrad-sim"), *simulator],
                           stdout=subprocess.PIPE, text=True)
    dialogue, verdicts = None, []
    try:
        dialogue = Dialogue(sim.stdout.readline().strip())
        log = SimulatorLog(sim.stdout)
        dialogue.expect(said("banner"))
        dialogue.answer("0")
        for cycle in range(cycles):
            for run, prompt in enumerate(("backgroundprompt", "sampleprompt"), 2 * cycle):
                dialogue.expect(said(prompt))
                if settled:
                    log.ended(run)
                dialogue.answer("G")
            verdict, _ = dialogue.expect(*map(said, VERDICTS))
            if verdict == said(SIGNIFICANT):
                dialogue.answer("n")
            dialogue.expect(said("restartquestion"))
            dialogue.answer("y" if cycle + 1 < cycles else "n")
            verdicts.append(VERDICTS[list(map(said, VERDICTS)).index(verdict)])
        if dialogue.close() != 0:
            raise RuntimeError("lowrad did not end with status 0")
        transcript, dialogue = dialogue.transcript, None
        return verdicts, transcript, None
    except (RuntimeError, AttributeError, OSError) as failure:
        transcript = dialogue.transcript if dialogue else b""
        return verdicts, transcript, f"cycle {len(verdicts) + 1}: {failure}"
    finally:
        if dialogue is not None:
            dialogue.process.kill()
            dialogue.process.wait()
        sim.terminate()
        sim.wait()


def simulate(rate, cycles, seed, sample=None, settled=False):
    """Cycles of pure background at rate (with a sample: at sample in the
    second run), fast, with a repeatable stream."""
    return run_cycles(["--background", str(rate), "--sample", str(sample or rate),
                       "--period", "0.005", "--seed", str(seed)], cycles, settled)


def assessed(transcript, *options):
    """lowrad-assess's reading of a transcript with options, a record per
    cycle, and what it said on standard error."""
    assess = subprocess.run([paths.program("lowrad-assess"), *options, "--json"],
                            input=transcript, capture_output=True, check=False)
    return [json.loads(line) for line in assess.stdout.splitlines()], assess.stderr


def spread(count):
    """The frames of a run that counts count impulses: the first frame only
    starts reception, the others share the count."""
    counted = FRAMES - 1
    return ",".join(["0"] + [str(count // counted + (frame < count % counted))
                             for frame in range(counted)])


@functools.cache
def significant(background, total):
    """lowrad's own verdict on a cycle that counts background and total impulses."""
    verdicts, _, failure = run_cycles(
        ["--background-counts", spread(background), "--sample-counts", spread(total),
         "--frames", str(FRAMES), "--period", "0.005"], 1)
    if failure:
        raise RuntimeError(f"lowrad on {background} and {total} impulses, {failure}")
    return verdicts[0] == SIGNIFICANT


def thresholds(backgrounds):
    """For each background count, the smallest total that lowrad calls
    significant. A result is significant only above 0 net; more impulses of
    the sample cannot make it less significant, nor more of the background
    make it need fewer: each count's search starts at the one's below."""
    found, total = {}, 0
    for background in sorted(backgrounds):
        total = max(total, background + 1)
        while not significant(background, total):
            total += 1
        found[background] = total
    return found


def cycles_wanted(arguments, default, command):
    """The number of cycles a command is given, at least 1; misuse exits 2."""
    if len(arguments) <= 1 and (not arguments or arguments[0].isdigit() and int(arguments[0]) > 0):
        return int(arguments[0]) if arguments else default
    print(f"usage: scripts/{command} [CYCLES]   (CYCLES at least 1, default {default})",
          file=sys.stderr)
    sys.exit(2)
