// Linked into fuzz_card_replies only. The command channel pauses 100 ms before and after each
// poll (usleep); in the fuzzer that would cap a run at a few inputs a second. This definition
// takes the place of the C library's for the whole program: the pause moves the virtual bus's
// clock forward by the same amount and returns at once, so the simulated card sees the time
// the real channel would have waited.
#include <unistd.h>

#include "virtual_bus.h"

extern "C" int usleep(useconds_t microseconds) {
  cardsim::bus::advance(cardsim::SimTime(microseconds));
  return 0;
}
