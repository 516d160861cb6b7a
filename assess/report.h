// Writes a cycle's assessment (assessment.h) as a report for people or as one
// JSON object per line; it computes nothing of its own.
//
// The report opens with the decision in one sentence, then the figures of the
// net rate and, where the calibration is known, of the activity; then each
// run's period counts as a bar chart with the counter's dispersion check; and
// last what lowrad's own verdict means beside the decision, or, with a
// reference, the tube's coefficient and what to do with it.
//
// No figure is printed as a negative zero: a value that rounds to zero is 0.
#pragma once

#include "assess/assessment.h"

#include <string>

namespace assess {

std::string json_line(const Assessment &assessment);
std::string text_report(const Assessment &assessment, const Settings &settings);

} // namespace assess
