#include "image_list.h"

#include <QImage>
#include <QPixmap>

#include "dialog_templates.h"

bool CImageList::Create(int bitmapId, int cx, QRgb mask) {
    m_images.clear();
    const char* path = FindPicturePath(bitmapId);
    if (!path || cx <= 0) return false;
    QImage strip(QString::fromLatin1(path));
    if (strip.isNull() || strip.width() < cx) return false;
    strip = strip.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < strip.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(strip.scanLine(y));
        for (int x = 0; x < strip.width(); ++x) {
            if ((line[x] & 0x00FFFFFF) == (mask & 0x00FFFFFF)) line[x] = 0;
        }
    }
    for (int x = 0; x + cx <= strip.width(); x += cx)
        m_images.emplace_back(QPixmap::fromImage(strip.copy(x, 0, cx, strip.height())));
    return true;
}

QIcon CImageList::GetIcon(int index) const {
    if (index < 0 || index >= GetImageCount()) return {};
    return m_images[static_cast<size_t>(index)];
}
