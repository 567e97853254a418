#pragma once
// Which rows of the signature catalogue can answer for a sector, found without calling their
// detectors: the catalogue's lookup asks only those, in row order, and so gives the answer a
// call of every row would give at a fraction of the cost. Built once per process from the
// detectors' gates (signature_table.h) and from a look at what the detectors make of an
// all-zero sector; read-only afterwards, so any number of scan threads may share it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "carving/byte_search.h"
#include "carving/signature_table.h"

namespace norvale {

// A set of row indices of the catalogue.
struct RowSet {
    static constexpr size_t kWords = (kSignatureRowCount + 63) / 64;
    std::array<uint64_t, kWords> words{};

    void Add(size_t row) { words[row / 64] |= uint64_t{1} << (row % 64); }
    bool Has(size_t row) const { return (words[row / 64] >> (row % 64)) & 1; }
};

class CandidateRows {
  public:
    // The one table of the process, made on first use (thread-safe).
    static const CandidateRows& Get();

    // The rows to ask about `sector` (at least kGatedSpanBytes long): every row whose
    // detector has no gate or passes its gate, leaving out a row whose detector an earlier
    // row already asked (a detector gives the same answer to the same sector and medium).
    RowSet ForSector(ByteSpan sector) const;

    // True when every detector is known to answer kNoFileType to an all-zero span of
    // `bytes` bytes, read with a context whose sector size is `bytes`, without reading
    // anything further, whatever the stream flags say.
    bool ZeroSectorsNeverMatch(size_t bytes) const;

  private:
    CandidateRows();

    static constexpr size_t kMostOffsets = 4;
    // Zero spans of 2^9 to 2^16 bytes, the sector sizes media have.
    static constexpr size_t kSmallestZeroShift = 9;
    static constexpr size_t kZeroSizes = 8;

    RowSet always_;  // rows whose detector has no gate
    size_t offsetCount_ = 0;
    std::array<uint8_t, kMostOffsets> offsets_{};
    // For each gated offset and each byte value there, the rows that byte lets through.
    std::array<std::array<RowSet, 256>, kMostOffsets> byValue_{};
    std::array<bool, kZeroSizes> zeroQuiet_{};
};

// Whether every detector of `rows` answers kNoFileType to an all-zero span of `bytes` bytes,
// under each setting of the stream flags, without reading anything from the medium. A
// detector that matches zeros, or looks further than its sector (where the medium need not be
// zero), keeps zero sectors on the slow path: such a detector added later costs time, never a
// file. Detectors must not call DetectFileType (the table is being built when this runs).
bool ZeroSpanMatchesNoRow(std::span<const SignatureRow> rows, size_t bytes);

// True when every byte of `bytes` is zero.
bool IsZeroSpan(ByteSpan bytes);

}  // namespace norvale
