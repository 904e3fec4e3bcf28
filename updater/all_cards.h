// Cardflash --update FILE --all: every card listed, each tied to its USB port, updated at the same
// time (at most `jobs` at once), each with its own context, log prefix and progress line; one
// card's failure never stops the others. At the end a table (or a JSON document) of the results.
#pragma once

#include <string>

#include "clock.h"
#include "stop_request.h"

namespace cardflash {

struct AllCardsOptions {
  std::string firmware;  // the TI-TXT file, as given
  std::string ram_bsl;   // TI's RAM boot-loader image, as given; empty: looked for
  bool verify = true;
  int jobs = 0;          // at most this many cards at once; 0: all of them
  bool json = false;     // the results as JSON on standard output, the log on standard error
};

// Exit status: 0 when every card was updated, else the highest of the failed cards' (1, 4, 5;
// 130 once Ctrl-C stopped them; 3 for several cards without USB ports). Each card has a stop
// request of its own, which Ctrl-C sets, and its pauses go through a clock that `clock` makes for
// it (Clock::ForRun), cut by that request.
int UpdateAllCards(const AllCardsOptions& options, Clock& clock);

}  // namespace cardflash
