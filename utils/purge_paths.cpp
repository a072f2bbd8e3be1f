#include "purge_paths.hpp"

#include <cstdio>
#include <cstring>

bool buildPurgePaths(const char* directory, const char* dataFileName, PurgePaths& paths)
{
    const size_t length = std::strlen(directory);
    const bool prefix = length > 0 && directory[length - 1] == '/';
    const int built = std::snprintf(paths.szBin, sizeof paths.szBin, prefix ? "%s%s" : "%s/%s",
                                    directory, dataFileName);
    if (built < 0 || static_cast<size_t>(built) >= sizeof paths.szBin)
        return false;
    const size_t binLength = static_cast<size_t>(built);
    std::memcpy(paths.szOld, paths.szBin, binLength + 1);
    std::memcpy(paths.szOld + binLength - 4, ".old", 4);

    std::memcpy(paths.szMark, paths.szBin, binLength - 4);
    std::memcpy(paths.szMark + binLength - 4, kMarkSuffix, sizeof kMarkSuffix);

    // The directory of the files, for syncing their directory entries.
    const auto slash = static_cast<size_t>(std::strrchr(paths.szBin, '/') - paths.szBin);
    const size_t dirLength = slash == 0 ? 1 : slash;
    std::memcpy(paths.szDirectory, paths.szBin, dirLength);
    paths.szDirectory[dirLength] = '\0';
    return true;
}
