// Entry point of the kestrune executable.
#include "kernel/system.h"

int main(int argc, char **argv) { kestrune_main(argc, argv); }
