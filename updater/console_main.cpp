// Cardflash.com, the console program of the Windows build: the headless front end alone.
#include "headless.h"

int main(int argc, char** argv) {
  cardflash::SystemClock clock;
  return cardflash::RunHeadless(argc, argv, clock);
}
