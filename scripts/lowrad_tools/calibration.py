"""How often the coverage interval of the tube's coefficient holds the true one
(scripts/calibration-coverage, the README's calibration table).

For each row, lowrad-sim counts a background rate and, with the reference in
place, that rate plus c A m per second: what 0.5 kg of pure potassium chloride
(A from lowrad-assess itself) gives a tube whose true coefficient is c. lowrad
measures cycle after cycle through the runner, and `lowrad-assess --reference
kcl --mass 0.5 --json` reads its whole transcript. Of the cycles that give a
coefficient (those whose net rate is above the decision threshold), about 95 %
should have a coverage interval that holds c. Beside it stands the exact share
for Poisson counts, summed over both runs' counts with lowrad-assess's rules:
the interval also carries the constants' 0.89 % for KCl's activity, which the
simulation does not vary, and near the threshold the refusals leave the cycles
of larger net rates, so it is not quite 95 %."""
import concurrent.futures
import math
import statistics
import sys

from . import cycles
from .falsepositives import poisson, share

BACKGROUND = 30  # impulses per minute
MASS = 0.5  # kg of KCl
SECONDS = 180  # counted time of one run
COEFFICIENTS = (2e-4, 2e-5)  # Imp/Bq.s: a well counted reference, and one near the threshold
REFERENCE = ("--reference", "kcl", "--mass", str(MASS))


def kcl_activity():
    """lowrad-assess's activity of KCl in Bq/kg, and its relative uncertainty
    (it refuses the empty cycle, but still describes it)."""
    records, errors = cycles.assessed(b"", *REFERENCE, "--background", "0", "--total", "0")
    if not records:
        raise RuntimeError(f"lowrad-assess gave no activity of KCl: {errors!r}")
    return records[0]["reference_activity"], records[0]["reference_relative_uncertainty"]


def exact(coefficient, kcl):
    """The share of the cycles given a coefficient whose interval holds it, for
    Poisson counts: given above k(0.95) sqrt(2B) net impulses, held within
    k(0.975) u(c)."""
    activity, reference_uncertainty = kcl
    threshold = statistics.NormalDist().inv_cdf(0.95)
    k = statistics.NormalDist().inv_cdf(0.975)
    mean = BACKGROUND * SECONDS / 60
    given = held = 0
    for b, pb in enumerate(poisson(mean)):
        for g, pg in enumerate(poisson(mean + coefficient * activity * MASS * SECONDS)):
            if g - b > threshold * math.sqrt(2 * b):
                c = (g - b) / SECONDS / (activity * MASS)
                u = c * math.hypot(math.sqrt(g + b) / (g - b), reference_uncertainty)
                given += pb * pg
                held += pb * pg * (abs(c - coefficient) <= k * u)
    return held / given


def measure(coefficient, kcl, cycles_run):
    """The net rate of a row, lowrad-assess's records of its cycles, the shares'
    counts, the mean coefficient and, if a cycle failed, why. The runs wait for
    each other: a sample run merged into the next background run would count
    the reference in both."""
    net_cpm = 60 * coefficient * kcl[0] * MASS
    _, transcript, failure = cycles.simulate(BACKGROUND, cycles_run, round(1 / coefficient),
                                             BACKGROUND + net_cpm, settled=True)
    records, _ = cycles.assessed(transcript, *REFERENCE)
    given = [r for r in records if r["coefficient"] is not None]
    held = sum(r["coefficient_coverage_low"] <= coefficient <= r["coefficient_coverage_high"]
               for r in given)
    mean = sum(r["coefficient"] for r in given) / len(given) if given else math.nan
    return net_cpm, len(records), len(records) - len(given), held, len(given), mean, failure


def main(arguments):
    cycles_run = cycles.cycles_wanted(arguments, 1000, "calibration-coverage")
    kcl = kcl_activity()
    with concurrent.futures.ThreadPoolExecutor(len(COEFFICIENTS)) as pool:
        rows = list(pool.map(lambda c: measure(c, kcl, cycles_run), COEFFICIENTS))
    print(f"{MASS} kg of KCl ({kcl[0]:.0f} Bq/kg), background {BACKGROUND} cpm, "
          f"{cycles_run} cycles per row; ± is one binomial standard error.\n")
    print("| true coefficient | net rate | cycles | refused | interval holds it | exact "
          "| mean coefficient |")
    print("| ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    failures = []
    for coefficient, (net_cpm, read, refused, held, given, mean, failure) in zip(COEFFICIENTS,
                                                                                 rows):
        print(f"| {coefficient:g} Imp/Bq.s | {net_cpm:.1f} cpm | {read} | {refused} "
              f"| {share(held, given) if given else '-'} | {100 * exact(coefficient, kcl):.1f} % "
              f"| {mean:.3g} |")
        if failure or read != cycles_run:
            failures.append(f"at {coefficient:g} Imp/Bq.s, {read} of {cycles_run} cycles "
                            f"assessed{', ' + failure if failure else ''}")
    for failure in failures:
        print(f"warning: {failure}", file=sys.stderr)
    return 1 if failures else 0
