// Cardflash: with an option it runs headless (scripts, factory lines); without one it opens its
// window.
#include "dialog/run_dialog.h"
#include "headless.h"

int main(int argc, char** argv) {
  if (cardflash::WantsHeadless(argc, argv)) return cardflash::RunHeadless(argc, argv);
  return cardflash::RunDialog(argc, argv);
}
