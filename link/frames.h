// Count frames from the counter, and their accounting.
//
// Once per counting period the counter sends four bytes:
//
//     FF  low  high  checksum        count = high * 256 + low
//                                    checksum = (FF + low + high) mod 256
//
// receive takes at most one byte per call. The recogniser fills the window
// header, lsb, msb and tests the fourth byte as the checksum (st.noct says
// which of the four the next byte is). A window that is no frame slides by
// one byte and the next byte is tested again, so the recogniser finds the
// first FF a b (FF+a+b) anywhere in the stream, however it starts, and after
// an accepted frame reads the following ones in step.
//
// record counts each accepted frame in st.nacq. The run's first frame only
// says that reception started; the counts of the later ones add up in st.cps.
// Each frame rewrites the progress line in place (cursor up one line).
#pragma once

void receive();
void record();
