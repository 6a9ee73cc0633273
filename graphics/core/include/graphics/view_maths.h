// SPDX-License-Identifier: MIT
// Geometry of the graphics window's picture view: the zoomed size of the picture, the factor
// that fits it into the scroll box, the offset that centres it there, and the way back from
// a pointer position on the view to a picture pixel. Plain arithmetic, no user interface.
#pragma once

// The longest side a zoomed view may have; longer results are clamped to it so that an
// unbounded zoom factor never overflows the arithmetic or the windowing system.
inline constexpr int kMaxViewLength = (1 << 24) - 1;

// The length of `length` picture pixels at `zoom`, truncated toward zero and clamped to
// 0..kMaxViewLength.
int ZoomedLength(int length, float zoom);

// The smaller of boxWidth / pictureWidth and boxHeight / pictureHeight; 1.0 for an empty
// picture.
float FitFactor(int boxWidth, int boxHeight, int pictureWidth, int pictureHeight);

// The position that centres a view of `viewLength` in a box of `boxLength`: the difference
// halved, truncated toward zero (negative when the view is the longer).
int CentredOffset(int boxLength, int viewLength);

// The picture pixel under view position (x, y) at `zoom`: each coordinate divided by the
// factor and truncated. Returns false, leaving the outputs alone, when the position lies
// outside a picture of `width` × `height`.
bool ViewToPicturePixel(int x, int y, float zoom, int width, int height, int& pixelX, int& pixelY);
