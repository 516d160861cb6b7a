"""What lowrad-assess's decision threshold and detection limit promise,
measured with the real programs (scripts/limits, docs/verdict-statistics.md):
on pure background the cycles that lowrad calls significant and those in
which lowrad-assess recognises a sample, every one a false positive; with a
sample at the detection limit for the mean background, the cycles in which
lowrad-assess recognises it. Beside each share the exact one for Poisson
counts."""
import concurrent.futures
import math
import os
import sys

from . import cycles, paths
from .falsepositives import MINUTES, RATES, poisson, share

K = 1.6449  # the standard normal quantile at 0.95: alpha = beta = 0.05
SECONDS = 60 * MINUTES


def detection_limit(rate):
    """The net rate, in counts per minute, at the detection limit for the mean background."""
    background = rate * SECONDS / 60
    return 60 * (2 * K * math.sqrt(2 * background) + K * K) / SECONDS


def exact(rate, sample):
    """The share of cycles that lowrad-assess recognises, summed exactly over the Poisson
    counts of both runs: net impulses above k sqrt(2B)."""
    background = poisson(rate * SECONDS / 60)
    total = poisson((sample or rate) * SECONDS / 60)
    return sum(pb * pt for b, pb in enumerate(background) for t, pt in enumerate(total)
               if t - b > K * math.sqrt(2 * b))


def measure(rate, sample, cycles_run, seed):
    """lowrad's verdicts and lowrad-assess's assessments of cycles at these rates."""
    verdicts, transcript, failure = cycles.simulate(rate, cycles_run, seed, sample)
    assessments, errors = cycles.assessed(transcript)
    if len(assessments) != len(verdicts):
        failure = f"{len(verdicts)} cycles, {len(assessments)} assessed: {errors!r}"
    significant = verdicts.count(cycles.SIGNIFICANT)
    if significant != sum(a["lowrad_verdict"] == "significant" for a in assessments):
        failure = "lowrad-assess reads other verdicts than lowrad gave"
    return significant, sum(a["recognised"] for a in assessments), len(assessments), failure


def main(arguments):
    cycles_run = cycles.cycles_wanted(arguments, 400, "limits")
    paths.build()
    rows = [(rate, None) for rate in RATES] + [(rate, rate + detection_limit(rate))
                                               for rate in RATES]
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
        results = list(pool.map(lambda row: measure(*row, cycles_run, row[0]), rows))

    print(f"Pure background, the same rate in both 3-minute runs, {cycles_run} cycles per rate")
    print("(simulator seed = rate; ± is one binomial standard error).\n")
    print("| rate | cycles | lowrad: significant | lowrad-assess: recognised | exact | alpha |")
    print("| ---: | ---: | ---: | ---: | ---: | ---: |")
    for (rate, _), (significant, recognised, assessed, _) in zip(rows[:len(RATES)], results):
        if assessed:
            print(f"| {rate} cpm | {assessed} | {share(significant, assessed)} "
                  f"| {share(recognised, assessed)} | {100 * exact(rate, None):.1f} % | 5 % |")

    print(f"\nA sample at the detection limit for the mean background, {cycles_run} cycles per "
          "rate.\n")
    print("| background | net rate at the detection limit | cycles | lowrad-assess: recognised "
          "| exact | 1 - beta | lowrad: significant |")
    print("| ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for (rate, sample), (significant, recognised, assessed, _) in zip(rows[len(RATES):],
                                                                       results[len(RATES):]):
        if assessed:
            print(f"| {rate} cpm | {sample - rate:.1f} cpm = {(sample - rate) / 60:.3f} s⁻¹ "
                  f"| {assessed} | {share(recognised, assessed)} "
                  f"| {100 * exact(rate, sample):.1f} % | 95 % "
                  f"| {share(significant, assessed)} |")
    failures = [f"at {rate} cpm{' with the sample' if sample else ''}, {result[3]}"
                for (rate, sample), result in zip(rows, results) if result[3]]
    for failure in failures:
        print(f"warning: {failure}", file=sys.stderr)
    return 1 if failures else 0
