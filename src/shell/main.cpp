// The process entry: the whole program runs in RunKorvath.
#include "shell/program.h"

int main(int argc, char** argv) { return korvath::RunKorvath(argc, argv); }
