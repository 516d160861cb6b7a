// Console answers.
//
// Every answer is one whitespace-delimited word read from standard input. The
// whole word is consumed, so separate words on one line answer successive
// questions, but the rest of an over-long word never answers the next one. Of
// a letter answer (G, y/n) the first character decides and at most two are
// kept in st.reply; at the port menu the first character decides too, and at
// most ten are kept. A number answer counts only when the whole word, of at
// most ten characters, is a finite number: "1,5", "2kg" or "0.5.1" are no
// numbers and are asked again. When input has ended the answer is empty,
// which no question accepts, so a finished script of answers ends the program
// instead of repeating its last word.
#pragma once

void readletter();
void readword();
// The number typed, or 0, which neither number question accepts, for a word
// that is no usable number; leaves the program when input has ended, as no
// number can come any more.
float readnumber();

// Ends the program; every way out of lowrad has status 0.
[[noreturn]] void leave();
