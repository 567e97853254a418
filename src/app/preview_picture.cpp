#include "app/preview_picture.h"

#include <libraw.h>
#include <poppler-qt6.h>

#include <QFile>
#include <QImageReader>
#include <algorithm>
#include <memory>

namespace norvale {

namespace {

QSize FitInside(QSize size, int side) {
    if (size.width() <= side && size.height() <= side) return size;
    return size.scaled(side, side, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

std::optional<PreviewPicture> LoadWithQt(const QString& path) {
    QImageReader reader(path);
    // The copy is always called "tmp.jpg": the bytes say what it is.
    reader.setDecideFormatFromContent(true);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (size.isValid() &&
        (size.width() > kMaxPreviewPictureSide || size.height() > kMaxPreviewPictureSide))
        reader.setScaledSize(FitInside(size, kMaxPreviewPictureSide));
    QImage image = reader.read();
    if (image.isNull()) return std::nullopt;
    PreviewPicture picture;
    picture.originalSize = size.isValid() ? size : image.size();
    if (image.width() > kMaxPreviewPictureSide || image.height() > kMaxPreviewPictureSide)
        image = image.scaled(FitInside(image.size(), kMaxPreviewPictureSide), Qt::KeepAspectRatio,
                             Qt::SmoothTransformation);
    picture.image = std::move(image);
    return picture;
}

struct ThumbFree {
    void operator()(libraw_processed_image_t* p) const { LibRaw::dcraw_clear_mem(p); }
};

std::optional<PreviewPicture> LoadRawThumbnail(const QString& path) {
    auto raw = std::make_unique<LibRaw>(0);  // large: not on the stack
    const QByteArray local = QFile::encodeName(path);
    if (raw->open_file(local.constData()) != LIBRAW_SUCCESS) return std::nullopt;
    if (raw->unpack_thumb() != LIBRAW_SUCCESS) return std::nullopt;
    int error = 0;
    std::unique_ptr<libraw_processed_image_t, ThumbFree> thumb(raw->dcraw_make_mem_thumb(&error));
    if (!thumb || error != LIBRAW_SUCCESS) return std::nullopt;
    QImage image;
    if (thumb->type == LIBRAW_IMAGE_JPEG) {
        image = QImage::fromData(QByteArrayView(thumb->data, qsizetype(thumb->data_size)));
    } else if (thumb->type == LIBRAW_IMAGE_BITMAP && thumb->colors == 3 && thumb->bits == 8) {
        const qsizetype stride = qsizetype(thumb->width) * 3;
        if (thumb->width > 0 && thumb->height > 0 &&
            qsizetype(thumb->data_size) >= stride * thumb->height) {
            image = QImage(thumb->data, thumb->width, thumb->height, stride, QImage::Format_RGB888)
                        .copy();
        }
    }
    if (image.isNull()) return std::nullopt;
    PreviewPicture picture;
    picture.originalSize = image.size();
    picture.fromRaw = true;
    if (image.width() > kMaxPreviewPictureSide || image.height() > kMaxPreviewPictureSide)
        image = image.scaled(FitInside(image.size(), kMaxPreviewPictureSide), Qt::KeepAspectRatio,
                             Qt::SmoothTransformation);
    picture.image = std::move(image);
    return picture;
}

}  // namespace

std::optional<PreviewPicture> LoadPreviewPicture(const QString& path) {
    if (std::optional<PreviewPicture> picture = LoadWithQt(path)) return picture;
    return LoadRawThumbnail(path);
}

QImage RenderPdfFirstPage(const QString& path, int maxSide) {
    std::unique_ptr<Poppler::Document> document = Poppler::Document::load(path);
    if (!document || document->isLocked() || document->numPages() < 1) return {};
    std::unique_ptr<Poppler::Page> page = document->page(0);
    if (!page) return {};
    const QSizeF points = page->pageSizeF();
    const double longer = std::max(points.width(), points.height());
    if (!(longer > 0)) return {};
    // Resolution for the wanted size, within bounds so that a page claiming to be a mile or a
    // hair wide still gives a picture of sensible size.
    const double dpi = std::clamp(72.0 * std::max(maxSide, 16) / longer, 1.0, 600.0);
    document->setRenderHint(Poppler::Document::Antialiasing);
    document->setRenderHint(Poppler::Document::TextAntialiasing);
    // A page far longer than wide still yields a bounded picture: only its top is drawn.
    const int limit = 2 * kMaxPreviewPictureSide;
    const int width = int(std::min(points.width() * dpi / 72.0, double(limit)));
    const int height = int(std::min(points.height() * dpi / 72.0, double(limit)));
    if (width < 1 || height < 1) return {};
    return page->renderToImage(dpi, dpi, 0, 0, width, height);
}

}  // namespace norvale
