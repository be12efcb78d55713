#include "ClipboardPicture.h"

#include "PngEncoder.h"

#include <QClipboard>
#include <QFuture>
#include <QImage>
#include <QMimeData>
#include <QtConcurrent/QtConcurrentRun>

namespace
{

class PictureMimeData final : public QMimeData
{
public:
    explicit PictureMimeData(const QImage& picture) { setImageData(picture); }

    // Started once the clipboard holds us, so that the encoding does not hold up the copy.
    void startEncoding() { png_ = QtConcurrent::run(encodeFastPng, imageData().value<QImage>()); }

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override
    {
        if (mimeType == QLatin1String("image/png") && png_.isValid()) {
            return png_.result();
        }
        return QMimeData::retrieveData(mimeType, type);
    }

private:
    QFuture<QByteArray> png_;
};

} // namespace

void putPictureOnClipboard(QClipboard* clipboard, const QImage& picture)
{
    auto* data = new PictureMimeData(picture);
    clipboard->setMimeData(data);
    data->startEncoding();
}
