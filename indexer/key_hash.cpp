#include "key_hash.hpp"

#include "console.hpp"

// Two bytes at a time: the first of a pair weighs 256, the second 1.
uint16_t IDX_keyHash(const char* pszKey)
{
    const auto* key = reinterpret_cast<const unsigned char*>(pszKey);
    unsigned hash = 0;
    for (; key[0] != '\0' && key[1] != '\0'; key += 2)
        hash += key[0] * 256u + key[1];
    if (key[0] != '\0')
        hash += key[0] * 256u;
    return static_cast<uint16_t>(hash);
}

uint16_t IDX_hashKeyLineBytes(const char* line, size_t length)
{
    unsigned hash = 0;
    for (size_t i = 0; i < length; ++i) {
        const auto folded = static_cast<unsigned char>(kCaseTables.lower[static_cast<unsigned char>(line[i])]);
        if (folded == 0)
            break;
        hash += i % 2 == 0 ? folded * 256u : folded;
    }
    return static_cast<uint16_t>(hash);
}

#if defined(__x86_64__)
uint16_t IDX_hashKeyLineSse2(const char* line, size_t length)
{
    return key_hash_detail::hashKeyLineSse2(line, length);
}

namespace {
// The vector form folds A-Z alone: it stands in for the byte loop only
// where the C library's case table does the same.
bool caseTableIsAsciiFold()
{
    for (int c = 0; c < 256; ++c) {
        const int folded = c >= 'A' && c <= 'Z' ? c + 0x20 : c;
        if (static_cast<unsigned char>(kCaseTables.lower[c]) != folded)
            return false;
    }
    return true;
}
}  // namespace
#endif

KeyLineHasher IDX_keyLineHasher()
{
#if defined(__x86_64__)
    if (caseTableIsAsciiFold())
        return IDX_hashKeyLineSse2;
#endif
    return IDX_hashKeyLineBytes;
}
