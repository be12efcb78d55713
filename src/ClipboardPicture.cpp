#include "ClipboardPicture.h"

#include "PngEncoder.h"

#include <QFuture>
#include <QImage>
#include <QMimeData>
#include <QtConcurrent/QtConcurrentRun>

namespace
{

class PictureMimeData final : public QMimeData
{
public:
    explicit PictureMimeData(const QImage& picture)
      : png_(QtConcurrent::run(encodeFastPng, picture))
    {
        setImageData(picture);
    }

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override
    {
        if (mimeType == QLatin1String("image/png")) {
            return png_.result();
        }
        return QMimeData::retrieveData(mimeType, type);
    }

private:
    QFuture<QByteArray> png_;
};

} // namespace

QMimeData* clipboardPicture(const QImage& picture)
{
    return new PictureMimeData(picture);
}
