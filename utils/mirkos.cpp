// MIRKOS: purges dx.bin of the DX spots older than N days.
#include "age_purge.hpp"
#include "record_text.hpp"
#include "records.hpp"

#include <cstddef>

namespace {

time_t spotDay(const unsigned char* record, DateCache& dates)
{
    return dates.fromText(reinterpret_cast<const char*>(record + offsetof(DxSpotStruct, Date)));
}

const AgeProgram kMirkos = {
    {
        "MIRKOS",
        "dx.bin",
        "dx.old",
        sizeof(DxSpotStruct),
        "MIRKOS -> fopen in MAIN (fBinFile 1)",
        "MIRKOS -> fopen in MAIN (fOldFile 1)",
        "MIRKOS -> fopen in MAIN (fBinOld 2)",
        "MIRKOS -> fopen in MAIN (fOldFile 2)",
    },
    "MIRKOS v 1.0\n",
    "MIRKOS completed : %ld spots left, %ld deleted.\n",
    "DX spots",
    spotDay,
    describeSpot,
};

}  // namespace

int main(int argc, char* argv[]) { return runAgePurge(kMirkos, argc, argv); }
