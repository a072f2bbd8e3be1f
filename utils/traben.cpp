// TRABEN: purges wwv.bin of the WWV propagation reports older than N days.
#include "age_purge.hpp"
#include "record_text.hpp"
#include "records.hpp"

#include <cstddef>

namespace {

time_t reportDay(const unsigned char* record, DateCache& dates)
{
    return dates.fromText(reinterpret_cast<const char*>(record + offsetof(WwvSpotStruct, sDate)));
}

const AgeProgram kTraben = {
    {
        "TRABEN",
        "wwv.bin",
        "wwv.old",
        sizeof(WwvSpotStruct),
        "TRABEN -> fopen in MAIN (fBinFile 1)",
        "TRABEN -> fopen in MAIN (fOldFile 1)",
        "TRABEN -> fopen in MAIN (fBinOld 2)",
        "TRABEN -> fopen in MAIN (fOldFile 2)",
    },
    "TRABEN v 1.0\n",
    "TRABEN completed : %ld spots left, %ld deleted.\n",
    "WWV propagation reports",
    reportDay,
    describeReport,
};

}  // namespace

int main(int argc, char* argv[]) { return runAgePurge(kTraben, argc, argv); }
