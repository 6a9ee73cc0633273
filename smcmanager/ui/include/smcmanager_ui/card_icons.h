// SPDX-License-Identifier: MIT
// The manager's own pictures for card items (ListImgS 16 x 16, ListImgL 32 x 32), drawn with
// QPainter at start so no picture files are needed: 0 folder, 1 open (selected) folder,
// 2 game program (".qxc", ".qxe"), 3 music (".mp3"), 5 any other file and the card itself.
#pragma once

#include <QIcon>

// The card picture of an image index at a pixel size; an unknown index gives the file icon.
QIcon CardIcon(int imageIndex, int pixels = 16);
// A tree icon showing image normally and selectedImage while the node is selected.
QIcon CardTreeIcon(int image, int selectedImage);
