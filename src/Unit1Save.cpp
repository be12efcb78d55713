// TForm1: saving the framed picture to a JPEG or PNG file.

#include "Unit1.h"

#include "Errors.h"
#include "PngEncoder.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QImageWriter>
#include <QSaveFile>

namespace
{

const char* const kFilterJpg = "jpg(*.jpg)";
const char* const kFilterPng = "png(*.png)";

} // namespace

QFileDialog* TForm1::createSaveDialog(QWidget* parent)
{
    // Qt's own dialog, so that it behaves the same on every system.
    auto* dialog = new QFileDialog(parent);
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilters({ QString::fromLatin1(kFilterJpg), QString::fromLatin1(kFilterPng) });
    dialog->setDefaultSuffix(QStringLiteral("jpg"));
    dialog->setSizeGripEnabled(true);
    dialog->setWindowFlag(Qt::WindowStaysOnTopHint, true);
    // A name typed without extension takes the chosen type's.
    QObject::connect(dialog, &QFileDialog::filterSelected, dialog, [dialog](const QString& f) {
        dialog->setDefaultSuffix(f == QLatin1String(kFilterPng) ? QStringLiteral("png")
                                                                : QStringLiteral("jpg"));
    });
    return dialog;
}

void TForm1::btnFilSaveClick(QObject*)
{
    failseibu(this);
}

void TForm1::failseibu(QObject*)
{
    ClearsBusyFlag busy;
    gamenGetModo(this);
    gazoCopy(this);
    // The earlier grab is free now; it need not wait for the dialog to close.
    ombrix::platform().releaseSpareMemory();
    SaveDialog1Show(SaveDialog1);
    if (SaveDialog1->exec() == QDialog::Accepted) {
        const QStringList chosen = SaveDialog1->selectedFiles();
        if (!chosen.isEmpty()) {
            saveBitmap(chosen.first());
        }
    }
    setVisible(true);
}

void TForm1::SaveDialog1Show(QObject*)
{
    SaveDialog1->selectFile(rules::proposedFileName(QDateTime::currentDateTime()));
}

void TForm1::saveBitmap(const QString& fileName)
{
    const QString shown = QDir::toNativeSeparators(fileName);
    const QByteArray format = rules::imageFormatFor(fileName);
    if (format.isEmpty()) {
        throw OmbrixError(QStringLiteral("ビットマップの保存に失敗しました (%1)。").arg(shown));
    }
    // Written beside the file and put in its place only when complete: a failed encode
    // leaves no empty or partial file under the chosen name.
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly)) {
        throw OmbrixError(
          QStringLiteral("ファイル %1 を作成できません。%2").arg(shown, file.errorString()));
    }
    // PNG through our own encoder: Qt's writer takes several times as long for the same size.
    const bool written = format == "PNG" ? writePng(file, *gazoBmp, kFilePng)
                                         : QImageWriter(&file, format).write(*gazoBmp);
    if (!written) {
        file.cancelWriting();
        throw OmbrixError(QStringLiteral("ビットマップの保存に失敗しました (%1)。").arg(shown));
    }
    if (!file.commit()) {
        throw OmbrixError(
          QStringLiteral("ファイル %1 を作成できません。%2").arg(shown, file.errorString()));
    }
}
