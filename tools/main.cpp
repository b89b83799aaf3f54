// tavdisk: the program a user runs; everything is in TavdiskMain.
#include "cli.h"

#include <iostream>

int main(int argc, char **argv) { return tavdisk::TavdiskMain(argc, argv, std::cout, std::cerr); }
