#include "carving/candidate_rows.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include "device/sector_reader.h"
#include "device/sector_source.h"

namespace norvale {

namespace {

// A large medium of zeros that counts the reads it serves: a detector that reads past the
// sector it is given shows itself here, whichever way it reads.
class CountingZeroSource final : public ISectorSource {
  public:
    explicit CountingZeroSource(uint64_t& reads) : reads_(reads) {}
    Result ReadAt(uint64_t offset, std::span<uint8_t> out, size_t& got) override {
        ++reads_;
        got = 0;
        if (offset >= kSize) return kOk;
        got = static_cast<size_t>(std::min<uint64_t>(out.size(), kSize - offset));
        std::memset(out.data(), 0, got);
        return kOk;
    }
    uint64_t SizeBytes() const override { return kSize; }

  private:
    static constexpr uint64_t kSize = uint64_t{1} << 40;
    uint64_t& reads_;
};

}  // namespace

bool IsZeroSpan(ByteSpan bytes) {
    const uint8_t* p = bytes.data();
    size_t left = bytes.size();
    // 64 bytes per round, folded with OR so the compiler can keep it in vector registers.
    while (left >= 64) {
        uint64_t w[8];
        std::memcpy(w, p, sizeof w);
        if ((w[0] | w[1] | w[2] | w[3] | w[4] | w[5] | w[6] | w[7]) != 0) return false;
        p += 64;
        left -= 64;
    }
    while (left > 0) {
        if (*p != 0) return false;
        ++p;
        --left;
    }
    return true;
}

bool ZeroSpanMatchesNoRow(std::span<const SignatureRow> rows, size_t bytes) {
    uint64_t reads = 0;
    SectorReader reader;
    reader.Attach(std::make_unique<CountingZeroSource>(reads));
    const std::vector<uint8_t> zeros(bytes, 0);
    CarvingContext context;
    context.reader = &reader;
    context.sectorSize = static_cast<uint32_t>(bytes);
    for (int flags = 0; flags < 4; ++flags) {
        for (const SignatureRow& row : rows) {
            context.transportStreamFlag = (flags & 1) != 0;
            context.bdavFlag = (flags & 2) != 0;
            context.startLba = context.cursorLba = 8;
            if (row.detector(zeros, context) != FileTypeCode::kNoFileType) return false;
            if (reads != 0) return false;
        }
    }
    return true;
}

const CandidateRows& CandidateRows::Get() {
    static const CandidateRows table;
    return table;
}

CandidateRows::CandidateRows() {
    const std::span<const SignatureRow> rows = FileSignatureTable();
    const std::span<const DetectorGate> gates = DetectorGates();
    for (size_t i = 0; i < rows.size(); ++i) {
        bool askedEarlier = false;
        for (size_t j = 0; j < i && !askedEarlier; ++j) {
            askedEarlier = rows[j].detector == rows[i].detector;
        }
        if (askedEarlier) continue;

        const DetectorGate* gate = nullptr;
        for (const DetectorGate& g : gates) {
            if (g.detector == rows[i].detector) gate = &g;
        }
        // A gate that cannot be kept in the table (past the span tested, too many offsets)
        // is dropped: its detector is then asked about every sector.
        std::array<size_t, 2> slots{kMostOffsets, kMostOffsets};
        bool usable = gate != nullptr && !gate->first.values.empty();
        for (size_t k = 0; usable && k < 2; ++k) {
            const LeadBytes& lead = k == 0 ? gate->first : gate->second;
            if (lead.values.empty()) continue;
            if (lead.offset >= kGatedSpanBytes) {
                usable = false;
                break;
            }
            size_t slot = 0;
            while (slot < offsetCount_ && offsets_[slot] != lead.offset) ++slot;
            if (slot == offsetCount_) {
                if (offsetCount_ == kMostOffsets) {
                    usable = false;
                    break;
                }
                offsets_[offsetCount_++] = lead.offset;
            }
            slots[k] = slot;
        }
        if (!usable) {
            always_.Add(i);
            continue;
        }
        for (size_t k = 0; k < 2; ++k) {
            const LeadBytes& lead = k == 0 ? gate->first : gate->second;
            for (const char value : lead.values) {
                byValue_[slots[k]][static_cast<uint8_t>(value)].Add(i);
            }
        }
    }

    for (size_t shift = 0; shift < kZeroSizes; ++shift) {
        zeroQuiet_[shift] = ZeroSpanMatchesNoRow(rows, size_t{1} << (kSmallestZeroShift + shift));
    }
}

RowSet CandidateRows::ForSector(ByteSpan sector) const {
    RowSet set = always_;
    for (size_t k = 0; k < offsetCount_; ++k) {
        const RowSet& more = byValue_[k][sector[offsets_[k]]];
        for (size_t w = 0; w < RowSet::kWords; ++w) set.words[w] |= more.words[w];
    }
    return set;
}

bool CandidateRows::ZeroSectorsNeverMatch(size_t bytes) const {
    if (bytes == 0 || (bytes & (bytes - 1)) != 0) return false;
    const int shift = std::countr_zero(bytes);
    if (shift < static_cast<int>(kSmallestZeroShift) ||
        shift >= static_cast<int>(kSmallestZeroShift + kZeroSizes)) {
        return false;
    }
    return zeroQuiet_[static_cast<size_t>(shift) - kSmallestZeroShift];
}

}  // namespace norvale
