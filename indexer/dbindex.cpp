// dbindex: builds the .idx index of a .ful text database in one pass.
#include "dbindex_run.hpp"

int main(int argc, char* argv[]) { return dbindexMain(argc, argv); }
