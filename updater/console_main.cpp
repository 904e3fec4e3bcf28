// Cardflash.com, the console program of the Windows build: the headless front end alone.
#include "headless.h"

int main(int argc, char** argv) {
  cardflash::StopRequest stop;
  cardflash::SystemClock clock(&stop);
  return cardflash::RunHeadless(argc, argv, clock, stop);
}
