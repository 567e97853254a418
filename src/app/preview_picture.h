#pragma once
// Pictures for the preview: photos in any format Qt reads (the format is taken from the bytes,
// as the extracted copy is always named "tmp.jpg"), the embedded thumbnail of camera RAW files
// Qt cannot read, and the first page of a PDF drawn as a picture.

#include <QImage>
#include <QSize>
#include <QString>
#include <optional>

namespace norvale {

// Pictures with a longer side than this are decoded scaled down to it.
inline constexpr int kMaxPreviewPictureSide = 4096;

struct PreviewPicture {
    QImage image;          // what the pane shows, at most kMaxPreviewPictureSide on a side
    QSize originalSize;    // the picture's own size
    bool fromRaw = false;  // the thumbnail a camera stored in its RAW file
};

// The picture in the file at `path`; nullopt when neither Qt nor the RAW reader can decode it.
std::optional<PreviewPicture> LoadPreviewPicture(const QString& path);

// The first page of the PDF at `path`, drawn so that its longer side has about `maxSide`
// pixels; a null image when the file is not a readable, unlocked PDF with at least one page.
QImage RenderPdfFirstPage(const QString& path, int maxSide = 1600);

}  // namespace norvale
