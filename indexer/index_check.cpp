#include "index_check.hpp"

#include <cerrno>
#include <cstring>

bool IndexChecker::next(IndexEntryStruct& entry)
{
    while (end_ - used_ < sizeof entry) {
        if (atEnd_)
            return false;
        std::memmove(buffer_, buffer_ + used_, end_ - used_);
        end_ -= used_;
        used_ = 0;
        const long got = index_.read(buffer_ + end_, sizeof buffer_ - end_);
        if (got < 0) {
            errno_ = errno;
            verdict_ = Verdict::ReadFailed;
            atEnd_ = true;
            return false;
        }
        atEnd_ = got == 0;
        end_ += static_cast<size_t>(got);
    }
    std::memcpy(entry.bytes, buffer_ + used_, sizeof entry);
    used_ += sizeof entry;
    return true;
}

void IndexChecker::record(uint16_t wHash, uint64_t distance, uint64_t offset, const char* keyLine)
{
    if (verdict_ != Verdict::Agrees)
        return;
    ++records_;
    for (uint64_t left = distance;; left -= kContinuationStep) {
        const bool continuation = left > kContinuationStep;
        const uint16_t hash = continuation ? 0 : wHash;
        const auto step = static_cast<uint8_t>(continuation ? kContinuationStep : left);
        IndexEntryStruct entry;
        if (!next(entry) || IDX_entryHash(entry) != hash || IDX_entryStep(entry) != step) {
            if (verdict_ == Verdict::Agrees)
                verdict_ = atEnd_ && end_ - used_ < sizeof entry ? Verdict::IndexEndsEarly
                                                                  : Verdict::RecordDiffers;
            offset_ = offset;
            std::strncpy(keyLine_, keyLine, sizeof keyLine_ - 1);
            return;
        }
        if (!continuation)
            return;
    }
}

IndexChecker::Verdict IndexChecker::finish()
{
    IndexEntryStruct entry;
    if (verdict_ == Verdict::Agrees && (next(entry) || end_ != used_))
        verdict_ = Verdict::IndexRunsOn;
    return verdict_;
}
