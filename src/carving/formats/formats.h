#pragma once
// Detectors and sizers of the carvable families, one family per file in this folder.
//
// Detectors read only inside the span they are given and check its length against the bytes
// they test, whatever its size. Most are pure fixed-offset tests; the compound-file, OOXML and
// transport-stream detectors also read the source through the context, relative to its cursor
// LBA, and answer "no" (or, for a compound file, the generic compound type) when a read fails.
// Sizers take the same first sector and return the file's length in bytes.

#include <cstdint>

#include "carving/byte_search.h"
#include "carving/carving_context.h"
#include "carving/file_type.h"

namespace norvale {

// MPEG program and elementary streams (mpeg.cpp).
FileTypeCode DetectMpegStream(ByteSpan sector, CarvingContext& context);
uint64_t SizeMpegEndCode(ByteSpan sector, CarvingContext& context);

// ISO base media: MP4, 3GP and QuickTime (iso_media.cpp).
FileTypeCode DetectMp4(ByteSpan sector, CarvingContext& context);
FileTypeCode Detect3gp(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectQuickTime(ByteSpan sector, CarvingContext& context);
// The family of an ISO base media first sector by the brands of its "ftyp" box: kMp4, k3gp,
// kMov, kM4a, kHeic, kHeif, kAvif or kCr3; kNoFileType for anything else. Every detector of
// these families answers by it, so they agree on every sector.
FileTypeCode ClassifyIsoBrands(ByteSpan sector);
// Every ISO base media file (MP4, MOV, 3GP, M4A, HEIF, AVIF, CR3): the top-level box walk.
uint64_t SizeIsoMedia(ByteSpan sector, CarvingContext& context);

// HEIF stills: HEIC, other HEIF brands and AVIF (heif.cpp).
FileTypeCode DetectHeic(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectHeif(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectAvif(ByteSpan sector, CarvingContext& context);

// MPEG-4 audio (m4a.cpp).
FileTypeCode DetectM4a(ByteSpan sector, CarvingContext& context);

// RealMedia (realmedia.cpp).
FileTypeCode DetectRealMedia(ByteSpan sector, CarvingContext& context);
uint64_t SizeRealMedia(ByteSpan sector, CarvingContext& context);

// Advanced Systems Format: wmv, asf, wma (asf.cpp).
FileTypeCode DetectAsf(ByteSpan sector, CarvingContext& context);
uint64_t SizeAsf(ByteSpan sector, CarvingContext& context);

// Flash movie (swf.cpp).
FileTypeCode DetectSwf(ByteSpan sector, CarvingContext& context);
uint64_t SizeSwf(ByteSpan sector, CarvingContext& context);

// RIFF containers: AVI and WAVE (riff.cpp).
FileTypeCode DetectAvi(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectWave(ByteSpan sector, CarvingContext& context);
uint64_t SizeRiff(ByteSpan sector, CarvingContext& context);

// Flash video (flv.cpp).
FileTypeCode DetectFlv(ByteSpan sector, CarvingContext& context);
uint64_t SizeFlv(ByteSpan sector, CarvingContext& context);

// Matroska (matroska.cpp).
FileTypeCode DetectMatroska(ByteSpan sector, CarvingContext& context);
uint64_t SizeMatroska(ByteSpan sector, CarvingContext& context);

// WebP pictures, a RIFF form (webp.cpp); sized by SizeRiff.
FileTypeCode DetectWebp(ByteSpan sector, CarvingContext& context);

// MPEG transport streams, plain 188-byte packets and BDAV (transport_stream.cpp).
inline constexpr uint32_t kTsPacketBytes = 188;
FileTypeCode DetectTransportStream(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectBdav(ByteSpan sector, CarvingContext& context);
uint64_t SizeTransportStream(ByteSpan sector, CarvingContext& context);
uint64_t SizeBdav(ByteSpan sector, CarvingContext& context);

// Material Exchange Format (mxf.cpp).
FileTypeCode DetectMxf(ByteSpan sector, CarvingContext& context);
uint64_t SizeMxf(ByteSpan sector, CarvingContext& context);

// MPEG audio: ID3-tagged MP3 and bare layer-2 frames (mp3.cpp).
FileTypeCode DetectId3Mp3(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectMpegAudioFrame(ByteSpan sector, CarvingContext& context);
uint64_t SizeMp3(ByteSpan sector, CarvingContext& context);
// A bare run of frames: runs to the boundary, which its own frame headers do not make.
uint64_t SizeMpegAudioFrames(ByteSpan sector, CarvingContext& context);

// Free Lossless Audio Codec (flac.cpp).
FileTypeCode DetectFlac(ByteSpan sector, CarvingContext& context);
uint64_t SizeFlac(ByteSpan sector, CarvingContext& context);

// Ogg streams: Vorbis and other codecs as ogg, Opus as opus (ogg.cpp).
FileTypeCode DetectOgg(ByteSpan sector, CarvingContext& context);
uint64_t SizeOgg(ByteSpan sector, CarvingContext& context);

// Standard MIDI file (midi.cpp).
FileTypeCode DetectMidi(ByteSpan sector, CarvingContext& context);
uint64_t SizeMidi(ByteSpan sector, CarvingContext& context);

// Monkey's Audio (ape.cpp).
FileTypeCode DetectApe(ByteSpan sector, CarvingContext& context);
uint64_t SizeApe(ByteSpan sector, CarvingContext& context);

// SMAF ringtones (smaf.cpp).
FileTypeCode DetectSmaf(ByteSpan sector, CarvingContext& context);
uint64_t SizeSmaf(ByteSpan sector, CarvingContext& context);

// Pictures (gif.cpp, bmp.cpp, jpeg.cpp, png.cpp, psd.cpp, tiff.cpp, icon.cpp).
FileTypeCode DetectGif(ByteSpan sector, CarvingContext& context);
uint64_t SizeGif(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectBmp(ByteSpan sector, CarvingContext& context);
uint64_t SizeBmp(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectJpeg(ByteSpan sector, CarvingContext& context);
uint64_t SizeJpeg(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectPng(ByteSpan sector, CarvingContext& context);
uint64_t SizePng(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectPsd(ByteSpan sector, CarvingContext& context);
uint64_t SizePsd(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectTiff(ByteSpan sector, CarvingContext& context);
// TIFF and the camera RAW files built on it: the furthest end of any IFD, strip, tile or
// sub-IFD.
uint64_t SizeTiff(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectIcon(ByteSpan sector, CarvingContext& context);
uint64_t SizeIcon(ByteSpan sector, CarvingContext& context);

// Camera RAW (camera_raw.cpp): TIFF-based CR2, NEF, ARW, DNG, ORF and RW2 (sized by
// SizeTiff) and Canon's ISO-media CR3 (sized by SizeIsoMedia).
FileTypeCode DetectCr2(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectNef(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectArw(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectDng(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectOrf(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectRw2(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectCr3(ByteSpan sector, CarvingContext& context);
// The camera RAW code of a TIFF-shaped first sector, or kNoFileType for a plain TIFF.
FileTypeCode ClassifyCameraRaw(ByteSpan sector, CarvingContext& context);

// Compound files (compound_file.cpp). The full detector classifies what it finds as Word,
// Excel, PowerPoint or a generic compound file; the prefix detector only tests the first four
// bytes and serves the fla row.
FileTypeCode DetectCompoundFile(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectCompoundFilePrefix(ByteSpan sector, CarvingContext& context);
// Reads the sector after the header and the first directory sector, relative to the cursor
// LBA; never answers kNoFileType.
FileTypeCode ClassifyCompoundFile(ByteSpan header, CarvingContext& context);
uint64_t SizeCompoundFile(ByteSpan sector, CarvingContext& context);

// Office Open XML packages (ooxml.cpp).
FileTypeCode DetectOoxml(ByteSpan sector, CarvingContext& context);
// Reads up to 20 sectors from the cursor LBA and types the package by its first part name
// that begins with "word", "ppt" or "xl"; kNoFileType when none does.
FileTypeCode ClassifyOoxml(CarvingContext& context);
uint64_t SizeOoxml(ByteSpan sector, CarvingContext& context);

// Documents and archives (pdf.cpp, gzip.cpp, seven_zip.cpp, zip.cpp, rar.cpp, cabinet.cpp).
FileTypeCode DetectPdf(ByteSpan sector, CarvingContext& context);
uint64_t SizePdf(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectGzip(ByteSpan sector, CarvingContext& context);
uint64_t SizeGzip(ByteSpan sector, CarvingContext& context);
FileTypeCode Detect7Zip(ByteSpan sector, CarvingContext& context);
uint64_t Size7Zip(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectZip(ByteSpan sector, CarvingContext& context);
uint64_t SizeZip(ByteSpan sector, CarvingContext& context);
// The ZIP family's end rule (ZIP and OOXML alike): the chunk's last end-of-central-directory
// record ends the archive.
uint64_t SizeToEndOfCentralDirectory(ByteSpan sector, CarvingContext& context, uint64_t cap);
FileTypeCode DetectRar(ByteSpan sector, CarvingContext& context);
uint64_t SizeRar(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectCabinet(ByteSpan sector, CarvingContext& context);
uint64_t SizeCabinet(ByteSpan sector, CarvingContext& context);

// Recognised but never carved: PE images and disk-image backups (pe_image.cpp,
// disk_image_backup.cpp).
FileTypeCode DetectPeImage(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectDiskImageBackup(ByteSpan sector, CarvingContext& context);

// Databases and mail stores (sqlite.cpp, outlook.cpp).
FileTypeCode DetectSqlite(ByteSpan sector, CarvingContext& context);
uint64_t SizeSqlite(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectOutlookExpress(ByteSpan sector, CarvingContext& context);
uint64_t SizeOutlookExpress(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectOutlookStore(ByteSpan sector, CarvingContext& context);
uint64_t SizeOutlookStore(ByteSpan sector, CarvingContext& context);

// TrueType and OpenType fonts and font collections (truetype.cpp).
FileTypeCode DetectTrueType(ByteSpan sector, CarvingContext& context);
uint64_t SizeTrueType(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectOpenType(ByteSpan sector, CarvingContext& context);
FileTypeCode DetectFontCollection(ByteSpan sector, CarvingContext& context);
uint64_t SizeFontCollection(ByteSpan sector, CarvingContext& context);

// Types with no end marker of their own: the file runs to the next boundary (another file's
// header or a file-system structure), at most the cap in the name.
uint64_t SizeBoundaryOnly128MiB(ByteSpan sector, CarvingContext& context);
uint64_t SizeBoundaryOnly256MiB(ByteSpan sector, CarvingContext& context);
uint64_t SizeBoundaryOnly2GiB(ByteSpan sector, CarvingContext& context);
uint64_t SizeBoundaryOnly4GiB(ByteSpan sector, CarvingContext& context);
uint64_t SizeBoundaryOnly6GiB(ByteSpan sector, CarvingContext& context);
uint64_t SizeBoundaryOnly64GiB(ByteSpan sector, CarvingContext& context);

}  // namespace norvale
