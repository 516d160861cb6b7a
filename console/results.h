// The results of a cycle, from the totals of its two runs.
//
// st.backcps and st.totcps hold the impulses of the background run and of
// the background + sample run, each over 3 minutes. evaluate prints both with
// their rates, the net count rate st.netcps (impulses per second, kept in
// single precision like every other figure of the record) and a verdict:
//
//   net rate 0 or less            the sample shields, the setup is not adapted
//   net / total below 0.00011     not significant: net impulses below 0.0198
//                                 of the sample run's total
//   otherwise                     significant: offer the activity in Bq/kg,
//                                 net rate / (tube coefficient * mass)
//
// Every printed figure is worked out in double precision from the record's
// single-precision fields. The tube coefficient is asked once and kept for the
// life of the process; the mass is asked in every cycle.
#pragma once

void evaluate();
