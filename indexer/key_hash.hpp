// The hash of a record's key: its key line folded to lower case, read as
// big-endian 16-bit words and added with wrap-around.
#pragma once

#include <cstddef>
#include <cstdint>
#if defined(__x86_64__)
#include <emmintrin.h>
#endif

// Hash of a folded, NUL-terminated key: the key read as big-endian 16-bit
// words, added with wrap-around.
uint16_t IDX_keyHash(const char* pszKey);

// The hash of a key line of length bytes (at most 253, its LF left out),
// folded to lower case as a key is, up to its first NUL: what IDX_keyHash
// gives for the line once STR_lower folded it, without changing the line.
// The vector form reads whole vectors from the line's start, up to 15 bytes
// past its end, so that much more must be readable.
using KeyLineHasher = uint16_t (*)(const char* line, size_t length);
uint16_t IDX_hashKeyLineBytes(const char* line, size_t length);
#if defined(__x86_64__)
uint16_t IDX_hashKeyLineSse2(const char* line, size_t length);
#endif
// The vector form where it folds as the case table does: it adds 0x20 to A
// to Z and changes nothing else, which is the table of the C locale.
KeyLineHasher IDX_keyLineHasher();

#if defined(__x86_64__)
// The vector form's body, here so that the builder's loop inlines it.
namespace key_hash_detail {

// The number of leading bytes of a vector that belong to the key: those
// before the first NUL, and before the line's end, left bytes away.
inline unsigned keyBytes(unsigned nulMask, size_t left)
{
    const unsigned inLine = left < 16 ? static_cast<unsigned>(left) : 16;
    const unsigned beforeNul = nulMask != 0 ? static_cast<unsigned>(__builtin_ctz(nulMask)) : 16;
    return inLine < beforeNul ? inLine : beforeNul;
}

// Sixteen bytes of 0xFF, then sixteen of 0: the mask of the first n bytes
// of a vector starts at 16 - n.
inline constexpr char kLeadingBytes[32] = {-1, -1, -1, -1, -1, -1, -1, -1,
                                           -1, -1, -1, -1, -1, -1, -1, -1};

// The bytes at even places weigh 256, those at odd places 1: their sums, of
// 253 bytes at most, fit in 32 bits each and come out as the halves of one
// 64-bit lane.
inline __attribute__((always_inline)) uint16_t hashKeyLineSse2(const char* line, size_t length)
{
    const __m128i zero = _mm_setzero_si128();
    __m128i sums = zero;
    for (size_t at = 0; at < length; at += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + at));
        const unsigned count =
            keyBytes(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero))), length - at);
        const __m128i key = _mm_and_si128(
            bytes, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kLeadingBytes + 16 - count)));
        // A to Z are the bytes less than 26 above 'A'; they get 0x20.
        const __m128i aboveA = _mm_sub_epi8(key, _mm_set1_epi8('A'));
        const __m128i upper = _mm_cmpeq_epi8(_mm_min_epu8(aboveA, _mm_set1_epi8(25)), aboveA);
        const __m128i folded = _mm_add_epi8(key, _mm_and_si128(upper, _mm_set1_epi8(0x20)));
        const __m128i even = _mm_sad_epu8(_mm_and_si128(folded, _mm_set1_epi16(0xFF)), zero);
        const __m128i odd = _mm_sad_epu8(_mm_srli_epi16(folded, 8), zero);
        sums = _mm_add_epi64(sums, _mm_add_epi64(even, _mm_slli_epi64(odd, 32)));
        if (count < 16)
            break;
    }
    const auto both = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_add_epi64(sums, _mm_unpackhi_epi64(sums, sums))));
    return static_cast<uint16_t>((both & 0xFFFFFFFF) * 256u + (both >> 32));
}

}  // namespace key_hash_detail
#endif
