// The measurement cycle: lowrad's one control loop.
//
//   port menu --0..3--> background prompt --G--> background run --19 frames-->
//   sample prompt --G--> sample run --19 frames--> results --> restart question
//   restart question --y--> background prompt (next cycle)
//
// Any other answer, a port that does not open and a run that hears nothing for
// 12000 polls end the program, always with status 0. A run opens the port,
// sleeps 1 ms and hands one poll to the frame receiver until 19 frames are in
// or the silence limit is reached, and closes the port again: the port is open
// only while a run counts. The first frame of a run only marks its start; the
// 18 after it, one per 10-second period, make the run's 3 minutes.
#pragma once

// Runs the whole program: start-up, then cycles while st.restart is 1.
void measure();
