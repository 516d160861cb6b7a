"""What lowrad-assess costs on long input; scripts/assess-scale says what it
prints and how to run it."""
import os
import re
import resource
import subprocess
import tempfile

from . import paths

CYCLES = int(os.environ.get("CYCLES", "100000"))
LIMIT = int(os.environ.get("LIMIT_MB", "1024")) * 1024 * 1024


def write_log(path):
    """CYCLES cycles of lowrad's output after its banner, as one run of lowrad writes them."""
    def text(*args):
        return subprocess.run([paths.program(paths.TEXTS), *args], check=True,
                              capture_output=True).stdout
    banner = text("banner")
    cycle = text("declined", "/dev/ttyS0")[len(banner):]
    with open(path, "wb") as log:
        log.write(banner)
        for _ in range(CYCLES):
            log.write(cycle)


def limited():
    resource.setrlimit(resource.RLIMIT_AS, (LIMIT, LIMIT))


def measure(assess, name, log):
    """Runs lowrad-assess on log and prints its figures in one line."""
    spawner = subprocess.run([paths.program("bench-spawner"), assess, log],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True, preexec_fn=limited, check=False)
    # The spawner's two lines, and in any order with the first whatever
    # lowrad-assess said.
    lines = spawner.stderr.splitlines()
    started = [line for line in lines if re.fullmatch(r"\d+ [\d.]+", line)]
    start = float(started[0].split()[1])
    cpu, end, rss = lines[-1].split()
    said = " ".join(line for line in lines[:-1] if line not in started)
    ended = (f"exit status {spawner.returncode}" if spawner.returncode != 128
             else "killed by a signal")
    print(f"{name:<24} {float(end) - start:7.2f} s wall {float(cpu):7.2f} s cpu "
          f"peak rss {int(rss):8d} KiB  {ended}")
    if said:
        print(f"{'':<24} it said: {said[:150]}")


def measure_revision(assess, described):
    print(f"lowrad-assess {described}, each run limited to {LIMIT // 1048576} MiB of address space")
    with tempfile.TemporaryDirectory() as scratch:
        log = os.path.join(scratch, "cycles.log")
        write_log(log)
        measure(assess, f"{CYCLES} cycles ({os.path.getsize(log) // 1048576} MiB)", log)
        os.remove(log)
        measure(assess, "/dev/zero", "/dev/zero")
        line = os.path.join(scratch, "one-line")
        with open(line, "wb") as sparse:
            sparse.truncate(1 << 30)
        measure(assess, "1 GiB in one line", line)


def describe(source):
    return subprocess.run(["git", "-C", source, "describe", "--always", "--dirty"],
                          capture_output=True, text=True, check=False).stdout.strip() or "?"


def main(arguments):
    paths.build(targets=["lowrad-assess", paths.TEXTS, "bench-spawner"])
    if not arguments:
        measure_revision(paths.program("lowrad-assess"), describe(paths.ROOT))
        return 0
    with tempfile.TemporaryDirectory() as scratch:
        worktree = os.path.join(scratch, "lowrad")
        subprocess.run(["git", "-C", paths.ROOT, "worktree", "add", "--quiet", "--detach", worktree,
                        arguments[0]], check=True)
        try:
            # Another revision's tests are not needed to measure it.
            paths.build(worktree, os.path.join(worktree, "build"), "-DBUILD_TESTING=OFF",
                        targets=["lowrad-assess"])
            measure_revision(os.path.join(worktree, "build", "bin", "lowrad-assess"),
                             describe(worktree))
        finally:
            subprocess.run(["git", "-C", paths.ROOT, "worktree", "remove", "--force", worktree],
                           check=True)
    return 0
