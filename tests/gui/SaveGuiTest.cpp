// The file save in-process: the dialog's settings and proposal, the encoders by extension, and
// what is left on disk when a save fails.

#include "Errors.h"
#include "GuiFixture.h"

#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QImageReader>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

class SaveGuiTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void dialogSettings();
    void proposedNameIsTheTimeOfOpening_data();
    void proposedNameIsTheTimeOfOpening();
    void encoderFollowsTheExtension_data();
    void encoderFollowsTheExtension();
    void failedSavesLeaveNothingBehind();
    void pngTypeWithoutExtensionWritesPng();

private:
    GuiFixture fixture;
    QTemporaryDir dir;
};

void SaveGuiTest::initTestCase()
{
    fixture.create();
    QVERIFY(QTest::qWaitForWindowExposed(fixture.form1.get()));
    fixture.form1->gamenGetModo(fixture.form1.get());
    fixture.form1->gazoCopy(fixture.form1.get());
    syoriChu = false;
    QCOMPARE(gazoBmp->size(), QSize(380, 242));
}

void SaveGuiTest::cleanupTestCase()
{
    fixture.destroy();
}

void SaveGuiTest::dialogSettings()
{
    QFileDialog* d = fixture.form1->SaveDialog1;
    QCOMPARE(d->acceptMode(), QFileDialog::AcceptSave);
    QCOMPARE(d->nameFilters(), QStringList({ "jpg(*.jpg)", "png(*.png)" }));
    QCOMPARE(d->selectedNameFilter(), QString("jpg(*.jpg)"));
    QCOMPARE(d->defaultSuffix(), QString("jpg"));
    QVERIFY(!d->testOption(QFileDialog::DontConfirmOverwrite));
    QVERIFY(d->testOption(QFileDialog::DontUseNativeDialog));
    QVERIFY(d->isSizeGripEnabled());
}

void SaveGuiTest::proposedNameIsTheTimeOfOpening_data()
{
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("name");
    QTest::addRow("leading zeros")
      << QDateTime(QDate(2026, 3, 1), QTime(9, 5, 7)) << "20260301-090507";
    QTest::addRow("afternoon") << QDateTime(QDate(2026, 12, 31), QTime(23, 59, 58))
                               << "20261231-235958";
    QTest::addRow("midnight") << QDateTime(QDate(2027, 1, 2), QTime(0, 0, 0)) << "20270102-000000";
}

void SaveGuiTest::proposedNameIsTheTimeOfOpening()
{
    QFETCH(QDateTime, when);
    QFETCH(QString, name);
    QCOMPARE(rules::proposedFileName(when), name);

    // And the dialog reads the clock anew at each opening.
    TForm1* f = fixture.form1.get();
    const QDateTime before = QDateTime::currentDateTime();
    f->SaveDialog1Show(f->SaveDialog1);
    const QString shown = f->SaveDialog1->findChild<QLineEdit*>("fileNameEdit")->text();
    const QDateTime at = QDateTime::fromString(shown, "yyyyMMdd-HHmmss");
    QVERIFY2(at.isValid() && at >= before.addSecs(-1) && at <= QDateTime::currentDateTime(),
             qPrintable(shown));
}

void SaveGuiTest::encoderFollowsTheExtension_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("format");
    QTest::addRow(".jpg") << "a.jpg" << QByteArray("jpeg");
    QTest::addRow(".JPEG") << "b.JPEG" << QByteArray("jpeg");
    QTest::addRow(".Png") << "c.Png" << QByteArray("png");
    QTest::addRow("double extension") << "d.png.jpg" << QByteArray("jpeg");
    QTest::addRow(".txt") << "e.txt" << QByteArray();
    QTest::addRow("no extension") << "f" << QByteArray();
    QTest::addRow("dot at the end") << "g." << QByteArray();
    QTest::addRow(".bmp") << "h.bmp" << QByteArray();
}

void SaveGuiTest::encoderFollowsTheExtension()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, format);
    const QString path = dir.filePath(name);
    if (format.isEmpty()) {
        try {
            fixture.form1->saveBitmap(path);
            QFAIL("no error");
        } catch (const OmbrixError& e) {
            QCOMPARE(e.message(),
                     QString::fromUtf8("ビットマップの保存に失敗しました (%1)。")
                       .arg(QDir::toNativeSeparators(path)));
        }
        QVERIFY(!QFile::exists(path));
        return;
    }
    fixture.form1->saveBitmap(path);
    QImageReader reader(path);
    QCOMPARE(reader.format(), format);
    const QImage back = reader.read();
    QCOMPARE(back.size(), gazoBmp->size());
    if (format == "png") {
        QCOMPARE(back.convertToFormat(QImage::Format_RGB32),
                 gazoBmp->convertToFormat(QImage::Format_RGB32));
    }
}

void SaveGuiTest::failedSavesLeaveNothingBehind()
{
    TForm1* f = fixture.form1.get();

    // A folder that is not there: the path and the system's reason.
    const QString missing = dir.filePath("no/such/folder/x.png");
    try {
        f->saveBitmap(missing);
        QFAIL("no error");
    } catch (const OmbrixError& e) {
        QVERIFY2(e.message().startsWith(QString::fromUtf8("ファイル %1 を作成できません。")
                                          .arg(QDir::toNativeSeparators(missing))),
                 qPrintable(e.message()));
        QVERIFY(e.message().size() > missing.size() + 15);
    }

    // An encoder that fails: the file that was there before is untouched, nothing else left.
    const QString existing = dir.filePath("keep.png");
    {
        QFile k(existing);
        QVERIFY(k.open(QIODevice::WriteOnly));
        k.write("old content");
    }
    const QImage saved = *gazoBmp;
    *gazoBmp = QImage(); // nothing to encode
    bool raised = false;
    try {
        f->saveBitmap(existing);
    } catch (const OmbrixError& e) {
        raised = e.message() == QString::fromUtf8("ビットマップの保存に失敗しました (%1)。")
                                  .arg(QDir::toNativeSeparators(existing));
    }
    *gazoBmp = saved;
    QVERIFY(raised);
    QFile k(existing);
    QVERIFY(k.open(QIODevice::ReadOnly));
    QCOMPARE(k.readAll(), QByteArray("old content"));
    const QStringList left = QDir(dir.path()).entryList({ "keep*" }, QDir::Files | QDir::Hidden);
    QCOMPARE(left, QStringList("keep.png"));

    // A whole save that fails (a name no encoder takes) still ends the operation: the busy
    // flag is down, so the shortcuts work again, and the frame is on the screen.
    QFileDialog* d = f->SaveDialog1;
    d->setDirectory(dir.path());
    QTimer::singleShot(50, d, [d] {
        auto* name = d->findChild<QLineEdit*>("fileNameEdit");
        name->setText("refused.txt");
        QTest::keyClick(name, Qt::Key_Return);
    });
    bool failed = false;
    try {
        f->failseibu(f);
    } catch (const OmbrixError&) {
        failed = true;
    }
    QVERIFY(failed);
    QVERIFY(!syoriChu);
    QVERIFY(f->isVisible());
    QVERIFY(!QFile::exists(dir.filePath("refused.txt")));
}

void SaveGuiTest::pngTypeWithoutExtensionWritesPng()
{
    TForm1* f = fixture.form1.get();
    QFileDialog* d = f->SaveDialog1;
    d->setDirectory(dir.path());
    QTimer::singleShot(50, d, [d] {
        auto* types = d->findChild<QComboBox*>("fileTypeCombo");
        QTest::keyClick(types, Qt::Key_Down); // the user picks the second type
        d->findChild<QLineEdit*>("fileNameEdit")->setText("typed");
        QTest::keyClick(d->findChild<QLineEdit*>("fileNameEdit"), Qt::Key_Return);
    });
    f->failseibu(f);
    QVERIFY(!syoriChu);
    QVERIFY(f->isVisible());
    QImageReader reader(dir.filePath("typed.png"));
    QCOMPARE(reader.format(), QByteArray("png"));

    // Back on the first type, a bare name takes ".jpg".
    QTimer::singleShot(50, d, [d] {
        QTest::keyClick(d->findChild<QComboBox*>("fileTypeCombo"), Qt::Key_Up);
        d->findChild<QLineEdit*>("fileNameEdit")->setText("bare");
        QTest::keyClick(d->findChild<QLineEdit*>("fileNameEdit"), Qt::Key_Return);
    });
    f->failseibu(f);
    QCOMPARE(QImageReader(dir.filePath("bare.jpg")).format(), QByteArray("jpeg"));
}

QTEST_MAIN(SaveGuiTest)
#include "SaveGuiTest.moc"
