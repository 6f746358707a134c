// The ZuntarMervoPlugin executable.
#include "host/program.h"

int main(int argc, char** argv) { return zuntar::RunProgram(argc, argv); }
