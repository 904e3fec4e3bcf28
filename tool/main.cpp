#include "cardtool.h"

int main(int argc, char** argv) { return cardtool_main(argc, argv); }
