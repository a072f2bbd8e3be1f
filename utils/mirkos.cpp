// MIRKOS: purges dx.bin of the DX spots older than N days.
#include "purge_run.hpp"

int main(int argc, char* argv[]) { return purgeMain(kMirkos, argc, argv); }
