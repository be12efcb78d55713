// Compares a picture with the test desktop's pattern, for the package test: exit status 0 when
// the picture is WIDTH x HEIGHT, opaque, and each pixel (x, y) equals the pattern at desktop
// pixel (LEFT + x, TOP + y); otherwise it prints the first difference and exits with 1.
// Usage: patterncheck PICTURE.png LEFT TOP WIDTH HEIGHT

#include "Pattern.h"

#include <QImage>
#include <QString>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: patterncheck PICTURE.png LEFT TOP WIDTH HEIGHT\n");
        return 2;
    }
    const QImage picture(QString::fromLocal8Bit(argv[1]));
    const int left = std::atoi(argv[2]);
    const int top = std::atoi(argv[3]);
    const int width = std::atoi(argv[4]);
    const int height = std::atoi(argv[5]);
    if (picture.isNull()) {
        std::fprintf(stderr, "%s is not a picture\n", argv[1]);
        return 1;
    }
    if (picture.width() != width || picture.height() != height) {
        std::fprintf(stderr,
                     "the picture is %d x %d, the framed area %d x %d\n",
                     picture.width(),
                     picture.height(),
                     width,
                     height);
        return 1;
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const QRgb got = picture.pixel(x, y);
            const uint32_t expected = 0xFF000000u | testdesk::patternRgb(left + x, top + y);
            if (got != expected) {
                std::fprintf(stderr,
                             "pixel (%d, %d) is #%08x, the desktop's pixel (%d, %d) #%08x\n",
                             x,
                             y,
                             got,
                             left + x,
                             top + y,
                             expected);
                return 1;
            }
        }
    }
    return 0;
}
