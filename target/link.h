// The link's pace on this connection, as its round trips have shown it.
// A prompt answer (an identify reply, an acknowledge) crosses a cable at
// 115200 baud within the identify time-out; a slow link (a Bluetooth serial
// port delays every packet) takes longer, and every wait for a prompt answer
// and every check that the line has fallen quiet must follow it. A line that
// has never answered sooner than the bytes could cross it at the port's baud
// rate keeps to that rate, and there an answer can be timed against the
// request it answers. Worker thread only.
#pragma once

#include <cstdint>

// A new connection: what the round trips of the last one showed is gone.
void LINK_Forget();
// An exchange answered: the bytes of its request and reply, and the time from
// the send that the reply answers to the reply's last byte.
void LINK_NoteRoundTrip(uint32_t bytes, uint64_t elapsed_us);
// An answer came sooner than its request could cross the line at the port's
// rate: the line is faster than its rate, and answers are timed no more.
void LINK_NoteEarlyAnswer();
// The wait for a prompt answer: the identify time-out at the port's baud
// rate, or about twice the slowest round trip seen, whichever is longer. Also
// how long the line must stay quiet to count as in step.
uint32_t LINK_PromptWaitMs();
// How soon after its send the answer to a request of this many bytes can
// arrive at the earliest; 0 while the line has not shown that it keeps to
// its baud rate (a virtual port delivers at once, whatever the rate).
uint64_t LINK_EarliestAnswerUs(uint32_t request_bytes);
