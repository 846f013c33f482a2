// A row of equally wide pictures cut from one strip bitmap, for tree and
// list controls.
#pragma once

#include <QColor>
#include <QIcon>
#include <vector>

class CImageList {
public:
    // Cuts bitmap resource `bitmapId` into images `cx` pixels wide, from the
    // left; pixels of colour `mask` become transparent. False (and no images)
    // if the bitmap is unknown, cannot be loaded, or is narrower than `cx`.
    bool Create(int bitmapId, int cx, QRgb mask);

    int GetImageCount() const { return static_cast<int>(m_images.size()); }
    // The image at `index`, or a null icon outside the list.
    QIcon GetIcon(int index) const;

private:
    std::vector<QIcon> m_images;
};
