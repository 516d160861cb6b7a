"""What lowrad costs, run through the runner against the simulator, beside
loops that only sleep to the same 1 ms deadlines (scripts/bench):
docs/performance.md says what each figure is and how it is taken. The
spawner, the loops and the crowd of processes are bench/'s programs, built
with the rest; another revision's lowrad is built in a scratch worktree."""
import dataclasses
import os
import platform
import resource
import statistics
import subprocess
import tempfile
import time

from . import paths, texts

# Each wake-up's cost varies from run to run on a shared machine: the CPU
# targets are judged on the median of ROUNDS rounds (default 3).
ROUNDS = int(os.environ.get("ROUNDS", "3"))
TICKERS = ("sleep", "read", "ppoll")  # the bare sleeper first


def polls():
    """lowrad's polls of a silent line before it gives up, one a millisecond."""
    return round(1000 * texts.timeout())


def machine():
    model = "an unknown CPU"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return f"{os.cpu_count()} cores of {model}, Linux {platform.release()}"


def oncpu(pid):
    """The process's time on a CPU so far, in seconds, from the scheduler's own count."""
    with open(f"/proc/{pid}/schedstat") as schedstat:
        return int(schedstat.read().split()[0]) / 1e9


@dataclasses.dataclass
class Run:
    """One run of lowrad: its own CPU and wall time, the whole process's, its peak, its silence."""
    cpu: float
    wall: float
    whole_cpu: float
    whole_wall: float
    rss: int  # KiB
    silence: float  # seconds from "Waiting for data" to the time-out, 0 without one


def measure(lowrad_bin, answers, simulator_options, ticks):
    """Runs the lowrad of lowrad_bin once, with the three loops of TICKERS alongside for ticks ms;
    returns a Run and the loops' CPU shares, the bare sleeper's first."""
    sim = subprocess.Popen([os.path.join(lowrad_bin, "lowrad-sim"), *simulator_options],
                           stdout=subprocess.PIPE, text=True)
    pty = sim.stdout.readline().strip()
    tickers = [subprocess.Popen([paths.program("bench-ticker"), str(ticks), mode],
                                stdout=subprocess.PIPE, text=True) for mode in TICKERS]
    # The runner sets up lowrad's /dev, then becomes lowrad in the same process.
    spawner = subprocess.Popen([paths.program("bench-spawner"),
                                os.path.join(lowrad_bin, "lowrad-run"), "--map", f"ttyS0={pty}"],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    pid, start = spawner.stderr.readline().split()
    pid, start = int(pid), float(start)
    spawner.stdin.write(answers.encode())
    spawner.stdin.close()
    output = b""
    marks = {}
    waiting, timedout = (texts.line(name).encode("latin-1") for name in ("waiting", "timedout"))
    while chunk := os.read(spawner.stdout.fileno(), 4096):
        if not output:
            # lowrad's first words: the runner is done, lowrad has started.
            first, cpu_first = time.monotonic(), oncpu(pid)
        output += chunk
        for mark in (waiting, timedout):
            if mark in output and mark not in marks:
                marks[mark] = time.monotonic()
    cpu, end, rss = spawner.stderr.readline().split()
    spawner.wait()
    spawner.stdout.close()
    spawner.stderr.close()
    sim.terminate()
    sim.communicate()
    silence = marks[timedout] - marks[waiting] if timedout in marks else 0
    run = Run(cpu=float(cpu) - cpu_first, wall=float(end) - first, whole_cpu=float(cpu),
              whole_wall=float(end) - start, rss=int(rss), silence=silence)
    return run, [float(ticker.communicate()[0]) for ticker in tickers]


def ratio(run, floors):
    """lowrad's CPU share as a multiple of the bare sleeper's alongside it."""
    return run.cpu / run.wall / floors[0]


def report(name, run, floors):
    sleeper = floors[0]
    print(f"{name:<11} lowrad {run.cpu:5.3f} s cpu in {run.wall:6.3f} s = "
          f"{100 * run.cpu / run.wall:4.2f} % = {ratio(run, floors):4.2f}x the bare sleeper's "
          f"{100 * sleeper:4.2f} %")
    print(f"{'':<11} loops alongside: read a silent pty after each sleep {100 * floors[1]:4.2f} % "
          f"({floors[1] / sleeper:4.2f}x); ppoll it to each deadline {100 * floors[2]:4.2f} % "
          f"({floors[2] / sleeper:4.2f}x)")
    print(f"{'':<11} the whole process, the runner's set-up included: {run.whole_cpu:5.3f} s cpu in "
          f"{run.whole_wall:6.3f} s = {100 * run.whole_cpu / run.whole_wall:4.2f} %; "
          f"peak rss {run.rss} KiB")


# lowrad-doctor's pass over /proc visits every process and descriptor, so its
# cost grows with the machine: its wall time is measured as the machine is,
# and with bench-crowd's DOCTOR_PROCESSES more processes of DOCTOR_FDS
# descriptors each.
DOCTOR_PROCESSES, DOCTOR_FDS, DOCTOR_RUNS, DOCTOR_AIM = 2000, 10, 5, 0.2


def doctor_seconds():
    """The median wall time and CPU time of DOCTOR_RUNS runs of lowrad-doctor
    without arguments. On a busy machine the wall time waits for the CPU; the
    CPU time does not."""
    walls, cpus = [], []
    for _ in range(DOCTOR_RUNS):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        started = time.monotonic()
        subprocess.run([paths.program("lowrad-doctor")], stdout=subprocess.DEVNULL)
        walls.append(time.monotonic() - started)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpus.append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
    return statistics.median(walls), statistics.median(cpus)


def measure_doctor():
    """Prints the doctor's wall time with and without the extra processes; True
    when it stays under DOCTOR_AIM (or the revision has no doctor)."""
    if not os.path.exists(paths.program("lowrad-doctor")):
        return True
    alone = doctor_seconds()
    crowd = subprocess.Popen([paths.program("bench-crowd"), str(DOCTOR_PROCESSES),
                              str(DOCTOR_FDS)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    started = int(crowd.stdout.readline())
    try:
        crowded = doctor_seconds()
    finally:
        crowd.stdin.close()
        crowd.wait()
    print(f"doctor      lowrad-doctor, median of {DOCTOR_RUNS} runs: {alone[0]:.3f} s wall, "
          f"{alone[1]:.3f} s cpu as the machine is; {crowded[0]:.3f} s wall, {crowded[1]:.3f} s "
          f"cpu with {started} more processes of {DOCTOR_FDS} descriptors each")
    return verdict(f"lowrad-doctor with {started} more processes in {crowded[0]:.3f} s, "
                   f"aim under {DOCTOR_AIM} s",
                   started == DOCTOR_PROCESSES and crowded[0] < DOCTOR_AIM)


def verdict(text, holds):
    print(f"{text:<72} {'PASS' if holds else 'FAIL'}")
    return holds


def main(arguments):
    paths.build()
    if arguments:
        with tempfile.TemporaryDirectory() as scratch:
            worktree = os.path.join(scratch, "lowrad")
            subprocess.run(["git", "-C", paths.ROOT, "worktree", "add", "--quiet", "--detach",
                            worktree, arguments[0]], check=True)
            try:
                # Another revision's tests are not needed to measure it.
                paths.build(worktree, os.path.join(worktree, "build"), "-DBUILD_TESTING=OFF")
                return measure_revision(worktree, os.path.join(worktree, "build"))
            finally:
                subprocess.run(["git", "-C", paths.ROOT, "worktree", "remove", "--force", worktree],
                               check=True)
    return measure_revision(paths.ROOT, paths.BUILD)


def measure_revision(source, build_dir):
    lowrad_bin = os.path.join(build_dir, "bin")
    described = subprocess.run(["git", "-C", source, "describe", "--always", "--dirty"],
                               capture_output=True, text=True).stdout.strip() or "?"
    print(f"lowrad {described} on {machine()}")
    timeouts, fulls = [], []
    for round in range(1, ROUNDS + 1):
        timeouts.append(measure(lowrad_bin, "0\nG\n", ["--silent-run", "1"], polls()))
        report(f"time-out {round}", *timeouts[-1])
        fulls.append(measure(lowrad_bin, "0\nG\nQ\n",
                             ["--period", "0.5", "--background-counts", "5"], 9000))
        report(f"full-run {round}", *fulls[-1])
    with tempfile.TemporaryDirectory() as scratch:
        binary = os.path.join(lowrad_bin, "lowrad")
        stripped = os.path.join(scratch, "lowrad")
        subprocess.run(["strip", "-o", stripped, binary], check=True)
        sizes = os.path.getsize(binary), os.path.getsize(stripped)
    silences = [run.silence for run, _ in timeouts]
    print(f"polls       {polls()} silent polls in {', '.join(f'{s:.3f}' for s in silences)} s: "
          f"mean poll period {1000 * max(silences) / polls():.4f} ms at most (nominal 1 ms)")
    print(f"binary      {os.path.relpath(binary, source)}: {sizes[0]} bytes, {sizes[1]} bytes stripped")
    print(f"load        {' '.join(f'{load:.2f}' for load in os.getloadavg())} (1, 5, 15 min)")
    timeout_ratio = statistics.median(ratio(*measured) for measured in timeouts)
    full_ratio = statistics.median(ratio(*measured) for measured in fulls)
    rss = max(run.rss for run, _ in timeouts + fulls)
    print()
    held = [
        verdict(f"every time-out within 0.5 % of {texts.timeout():g} s",
                all(abs(s - texts.timeout()) <= 0.005 * texts.timeout() for s in silences)),
        verdict(f"cpu of the time-out run, median {timeout_ratio:.2f}x the sleeper's, at most 1.25x",
                timeout_ratio <= 1.25),
        verdict(f"cpu of the full run, median {full_ratio:.2f}x the sleeper's, at most 1.25x",
                full_ratio <= 1.25),
        verdict(f"peak rss {rss} KiB, below 4 MiB (4096 KiB)", rss < 4096),
        measure_doctor(),
    ]
    return 0 if all(held) else 1
