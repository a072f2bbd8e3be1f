// KELDRAN: purges the mail directory dirmes.bin and removes the message
// files of the mail it drops.
#include "purge_run.hpp"

int main(int argc, char* argv[]) { return purgeMain(kKeldran, argc, argv); }
