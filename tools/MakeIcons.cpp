// Draws the program's icon files from the camera of the About panel: PNG files at the sizes that
// desktop themes ask for, and one Windows icon file holding several of them.
// Usage: MakeIcons <folder>      (scripts/icons writes resources/icons/)

#include "controls/CameraIcon.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QtEndian>

#include <cstdio>
#include <vector>

namespace
{

template<typename T>
void put(QByteArray& out, T value)
{
    const T le = qToLittleEndian(value);
    out.append(reinterpret_cast<const char*>(&le), sizeof le);
}

QByteArray png(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// An icon file whose images are PNG streams, as Windows has read them since Vista.
QByteArray iconFile(const std::vector<int>& sizes)
{
    QByteArray header, images;
    put<quint16>(header, 0); // reserved
    put<quint16>(header, 1); // an icon, not a cursor
    put<quint16>(header, static_cast<quint16>(sizes.size()));
    quint32 offset = 6 + 16 * static_cast<quint32>(sizes.size());
    for (int size : sizes) {
        const QByteArray image = png(cameraIcon(size));
        header.append(static_cast<char>(size >= 256 ? 0 : size)); // 0 stands for 256
        header.append(static_cast<char>(size >= 256 ? 0 : size));
        header.append('\0'); // no palette
        header.append('\0');
        put<quint16>(header, 1);  // planes
        put<quint16>(header, 32); // bits per pixel
        put<quint32>(header, static_cast<quint32>(image.size()));
        put<quint32>(header, offset);
        offset += static_cast<quint32>(image.size());
        images += image;
    }
    return header + images;
}

bool write(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: MakeIcons <folder>\n");
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    for (int size : { 16, 22, 24, 32, 48, 64, 128, 256 }) {
        const QString path = folder.filePath(QStringLiteral("ombrix-%1.png").arg(size));
        if (!write(path, png(cameraIcon(size)))) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    if (!write(folder.filePath(QStringLiteral("ombrix.ico")),
               iconFile({ 16, 24, 32, 48, 64, 256 }))) {
        std::fprintf(stderr, "cannot write the icon file\n");
        return 1;
    }
    return 0;
}
