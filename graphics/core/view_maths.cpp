// SPDX-License-Identifier: MIT
// The picture view's zoom, fit and centring arithmetic.
#include "graphics/view_maths.h"

#include <algorithm>
#include <cmath>

int ZoomedLength(int length, float zoom) {
    // Computed in double and compared before the conversion: a factor doubled often enough
    // is infinite, and converting such a value to int is undefined.
    const double scaled = std::trunc(static_cast<double>(length) * static_cast<double>(zoom));
    if (!(scaled > 0)) return 0;
    if (scaled >= kMaxViewLength) return kMaxViewLength;
    return static_cast<int>(scaled);
}

float FitFactor(int boxWidth, int boxHeight, int pictureWidth, int pictureHeight) {
    if (pictureWidth <= 0 || pictureHeight <= 0) return 1.0f;
    const float across = static_cast<float>(boxWidth) / static_cast<float>(pictureWidth);
    const float down = static_cast<float>(boxHeight) / static_cast<float>(pictureHeight);
    return std::min(across, down);
}

int CentredOffset(int boxLength, int viewLength) {
    return (boxLength - viewLength) / 2;
}

bool ViewToPicturePixel(int x, int y, float zoom, int width, int height, int& pixelX, int& pixelY) {
    if (!(zoom > 0) || x < 0 || y < 0) return false;
    const double px = std::trunc(x / static_cast<double>(zoom));
    const double py = std::trunc(y / static_cast<double>(zoom));
    if (px >= width || py >= height) return false;
    pixelX = static_cast<int>(px);
    pixelY = static_cast<int>(py);
    return true;
}
