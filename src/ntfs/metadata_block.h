#pragma once
// The signatures NTFS metadata blocks open with, wherever they lie on a medium: what a carver
// must not run a file over, since the scans that follow it read these blocks. Pure functions
// over bytes; nothing reads the medium.

#include <cstdint>
#include <span>

namespace norvale {

// True when `block` opens an NTFS metadata block: an MFT file record ("FILE"), an index block
// ("INDX"), a $LogFile restart page ("RSTR") that names its client "NTFS" in UTF-16 anywhere in
// the span, or the $AttrDef table (its first name, "$STANDARD_INFORMATION", in UTF-16). Only the
// signatures are tested, not the block's header, so damaged blocks are recognised too. Bytes
// missing from a short span never match.
bool IsNtfsMetadataBlock(std::span<const uint8_t> block);

}  // namespace norvale
