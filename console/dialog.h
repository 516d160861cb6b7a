// Console answers.
//
// Every answer is one whitespace-delimited word read from standard input into
// st.reply, cut at a width: two characters for letter answers (G, y/n), ten for
// the port menu and for numbers. What lies beyond the width stays in the input
// for the next question. When input has ended the answer is empty, which no
// question accepts, so a finished script of answers ends the program instead
// of repeating its last word.
#pragma once

void readletter();
void readword();

// Ends the program; every way out of lowrad has status 0.
[[noreturn]] void leave();
