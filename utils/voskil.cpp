// VOSKIL: purges announce.bin of the announcements older than N days.
#include "age_purge.hpp"
#include "record_text.hpp"
#include "records.hpp"

#include <cstddef>

namespace {

time_t announcementDay(const unsigned char* record, DateCache& dates)
{
    return dates.fromPacked(loadLE32(record + offsetof(AnnounceStruct, lDateTime)));
}

const AgeProgram kVoskil = {
    {
        "VOSKIL",
        "announce.bin",
        "announce.old",
        sizeof(AnnounceStruct),
        "VOSKIL -> fopen in MAIN (fBinFile 1)",
        "VOSKIL -> fopen in MAIN (fOldFile 1)",
        "VOSKIL -> fopen in MAIN (fBinOld 2)",
        "VOSKIL -> fopen in MAIN (fOldFile 2)",
    },
    "VOSKIL v 1.0\n",
    "VOSKIL completed : %ld announcements left, %ld deleted.\n",
    "announcements",
    announcementDay,
    describeAnnouncement,
};

}  // namespace

int main(int argc, char* argv[]) { return runAgePurge(kVoskil, argc, argv); }
