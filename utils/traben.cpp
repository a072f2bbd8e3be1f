// TRABEN: purges wwv.bin of the WWV propagation reports older than N days.
#include "purge_run.hpp"

int main(int argc, char* argv[]) { return purgeMain(kTraben, argc, argv); }
