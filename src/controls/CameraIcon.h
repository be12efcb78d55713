#pragma once

#include <QImage>

// The camera of the About panel, also the program's icon: drawn on a 48-pixel grid, at any size,
// on a transparent background.
QImage cameraIcon(int size = 48);
