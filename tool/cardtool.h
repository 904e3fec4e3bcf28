// cardtool: lists the card controllers on the USB bus and, when exactly one is present, prints
// its versions or switches it into its boot loader. Returns the process's exit status.
#pragma once

int cardtool_main(int argc, char** argv);
