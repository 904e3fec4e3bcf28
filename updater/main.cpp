// Cardflash: with options of its own it runs headless (scripts, factory lines, servers); without
// any, or with Qt's options only, it opens its window.
#include "dialog/display.h"
#include "dialog/run_dialog.h"
#include "headless.h"

int main(int argc, char** argv) {
  if (cardflash::WantsHeadless(argc, argv)) {
    cardflash::StopRequest stop;
    cardflash::SystemClock clock(&stop);
    return cardflash::RunHeadless(argc, argv, clock, stop);
  }
  if (cardflash::NoDisplayForTheWindow(argc, argv)) return cardflash::RefuseWindowWithoutDisplay();
  if (const std::string why = cardflash::UnreachableDisplay(argc, argv); !why.empty())
    return cardflash::RefuseWindowWithoutDisplay(why);
  return cardflash::RunDialog(argc, argv);
}
