// VOSKIL: purges announce.bin of the announcements older than N days.
#include "purge_run.hpp"

int main(int argc, char* argv[]) { return purgeMain(kVoskil, argc, argv); }
