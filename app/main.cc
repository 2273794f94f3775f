#include <iostream>

#include "app/program.h"

int main(int argc, char** argv) { return TrkProgramMain(argc, argv, std::cerr); }
