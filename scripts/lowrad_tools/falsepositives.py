"""How often lowrad calls pure background "significant" (scripts/falsepositives,
docs/verdict-statistics.md): the real lowrad, through the runner, fed by the
simulator with the same rate in both runs, so that every "significant" is a
false positive; beside it the shares summed exactly over Poisson counts, for
lowrad's rule (each background count's threshold found by running lowrad on
exact counts) and for the textbook decision threshold."""
import concurrent.futures
import math
import sys

from . import cycles, paths

RATES = (10, 30, 100)  # counts per minute, the same in both runs
MINUTES = 3  # counted time of one run
Z = 1.645  # one-sided 5 % quantile of the normal distribution
NEGLIGIBLE = 1e-9  # a background count this unlikely leaves every printed share as it is


def poisson(mean):
    """The probabilities of 0, 1, ... counts, cut where they no longer matter."""
    probabilities = [math.exp(-mean)]
    while len(probabilities) < mean or probabilities[-1] > 1e-15:
        probabilities.append(probabilities[-1] * mean / len(probabilities))
    return probabilities


def likely(rate):
    """The background counts of a run at rate that a share can feel."""
    return [b for b, p in enumerate(poisson(rate * MINUTES)) if p >= NEGLIGIBLE]


def textbook_significant(background, total):
    return total - background > Z * math.sqrt(2 * background)


def expected(rate, rule):
    """Fraction of cycles that rule calls significant, both runs Poisson at rate."""
    p = poisson(rate * MINUTES)
    return sum(p[b] * pt for b in likely(rate) for t, pt in enumerate(p) if rule(b, t))


def share(hits, cycles_run):
    p = hits / cycles_run
    return f"{100 * p:5.1f} ± {100 * math.sqrt(p * (1 - p) / cycles_run):3.1f} %"


def measure(rate, cycles_run):
    """The simulated cycles at rate with their counts, and lowrad's threshold
    for each background count that matters."""
    verdicts, transcript, failure = cycles.simulate(rate, cycles_run, rate)
    records, _ = cycles.assessed(transcript)
    counts = [(r["background_counts"], r["total_counts"]) for r in records]
    wanted = set(likely(rate)) | {b for b, _ in counts} | {rate * MINUTES}
    return verdicts, counts[:len(verdicts)], failure, cycles.thresholds(wanted)


def main(arguments):
    cycles_run = cycles.cycles_wanted(arguments, 600, "falsepositives")
    paths.build()
    with concurrent.futures.ThreadPoolExecutor(len(RATES)) as pool:
        runs = list(pool.map(lambda rate: measure(rate, cycles_run), RATES))

    print(f"Pure background, the same rate in both 3-minute runs, {cycles_run} cycles per rate")
    print("(simulator seed = rate; ± is one binomial standard error).\n")
    print("| rate | cycles | B: mean counts per run | net counts needed: lowrad | textbook, above "
          "1.645 √(2B) | significant, lowrad simulated | lowrad exact "
          "| textbook simulated | textbook exact |")
    print("| ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    failures = []
    for rate, (verdicts, counts, failure, threshold) in zip(RATES, runs):
        if failure:
            failures.append(f"at {rate} cpm, {failure}")
        if not verdicts:
            continue
        mean = rate * MINUTES
        significant = verdicts.count(cycles.SIGNIFICANT)
        disagreements = sum((v == cycles.SIGNIFICANT) != (t >= threshold[b])
                            for v, (b, t) in zip(verdicts, counts))
        if disagreements or len(counts) != len(verdicts):
            failures.append(f"at {rate} cpm, {disagreements} verdicts differ from lowrad's "
                            f"thresholds, {len(counts)} of {len(verdicts)} cycles assessed")
        textbook = sum(textbook_significant(b, t) for b, t in counts)
        print(f"| {rate} cpm | {len(verdicts)} | {mean} | {threshold[mean] - mean} "
              f"| {Z * math.sqrt(2 * mean):.1f} "
              f"| {share(significant, len(verdicts))} "
              f"| {100 * expected(rate, lambda b, t, th=threshold: t >= th[b]):.1f} % "
              f"| {share(textbook, len(verdicts))} "
              f"| {100 * expected(rate, textbook_significant):.1f} % |")
    for failure in failures:
        print(f"warning: {failure}", file=sys.stderr)
    return 1 if failures else 0
