// The Cardflash window: the application object and its one modal dialog.
#pragma once

namespace cardflash {

// Runs the dialog modally; returns when it has closed (the program's exit status).
int RunDialog(int argc, char** argv);

}  // namespace cardflash
