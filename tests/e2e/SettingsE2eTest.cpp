// Ombrix.ini with the real program: read at start, written in full at every close, where it can
// be written (beside the program, else in the user's settings folder), and a close that cannot
// write it refused with the error.

#include "E2e.h"

#include <QTest>

#include <signal.h>

using namespace e2e;

class SettingsE2eTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void noFileMeansDefaultsAndCloseWritesTheTenLines();
    void colourOnlyFileGivesRedAndIsCompleted();
    void handWrittenFileKeepsItsOwnLines();
    void settingsGoWhereTheyCanBeWritten_data();
    void settingsGoWhereTheyCanBeWritten();
    void endSignalsWriteTheSettingsAndEndCleanly_data();
    void endSignalsWriteTheSettingsAndEndCleanly();
    void closeThatCannotWriteIsRefused_data();
    void closeThatCannotWriteIsRefused();
};

void SettingsE2eTest::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("DISPLAY"),
             "these tests drive a real X server: run them through scripts/test");
    QCOMPARE(run(testdeskBinary(), { "root" }).exitCode, 0);
}

void SettingsE2eTest::noFileMeansDefaultsAndCloseWritesTheTenLines()
{
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    const QColor glow = glowOnScreen(ombrix.geometry());
    QVERIFY2(isBlue(glow), qPrintable("the glow is not blue: " + glow.name()));
    QVERIFY(!ombrix.iniBytes());

    clickControl(ombrix.geometry(), kButtonX);
    QVERIFY2(ombrix.waitFinished(), "the program did not end");
    QCOMPARE(ombrix.iniBytes().value_or("<none>"), kDefaultIni);
}

void SettingsE2eTest::colourOnlyFileGivesRedAndIsCompleted()
{
    Ombrix ombrix;
    StartOptions options;
    options.ini = "[botan]\ncolor=$FFFF0000\n";
    QVERIFY(ombrix.start(options));
    const QColor glow = glowOnScreen(ombrix.geometry());
    QVERIFY2(isRed(glow), qPrintable("the glow is not red: " + glow.name()));

    clickControl(ombrix.geometry(), kButtonX);
    QVERIFY(ombrix.waitFinished());
    QCOMPARE(ombrix.iniBytes().value_or("<none>"),
             QByteArray("[botan]\ncolor=-65536\n[sKyMoj]\ncopi=C\nsave=V\nzoom=W\nmini=S\n"
                        "clos=X\n[kii]\nfontcolor=-10496\n"));
}

void SettingsE2eTest::handWrittenFileKeepsItsOwnLines()
{
    Ombrix ombrix;
    StartOptions options;
    options.ini = "; my settings\r\n[SKYMOJ]\r\nCopi = Q\r\n; keep me\r\n\r\n"
                  "[mine]\r\nfoo=bar\r\n[KII]\r\nfontcolor = 0xff00ff00\r\n";
    QVERIFY(ombrix.start(options));
    clickControl(ombrix.geometry(), kButtonX);
    QVERIFY(ombrix.waitFinished());
    // Values replaced where they stand, missing keys at the end of their section, the missing
    // section at the end; comments, blank lines, the other section and the names' case kept.
    QCOMPARE(ombrix.iniBytes().value_or("<none>"),
             QByteArray("; my settings\r\n[SKYMOJ]\r\nCopi = Q\r\n; keep me\r\nsave=V\r\n"
                        "zoom=W\r\nmini=S\r\nclos=X\r\n\r\n[mine]\r\nfoo=bar\r\n[KII]\r\n"
                        "fontcolor = -16711936\r\n[botan]\r\ncolor=-16776961\r\n"));
}

void SettingsE2eTest::settingsGoWhereTheyCanBeWritten_data()
{
    QTest::addColumn<bool>("folderReadOnly");
    QTest::addColumn<QByteArray>("before"); // Ombrix.ini beside the program at start, if any
    QTest::addColumn<QByteArray>("beside"); // what is beside the program at the end
    QTest::addColumn<QByteArray>("inSettingsFolder");
    const QByteArray none;
    QTest::addRow("writable folder, no file") << false << none << kDefaultIni << none;
    QTest::addRow("read-only folder, no file") << true << none << none << kDefaultIni;
    // Written in place: the folder allows no file beside it to replace it.
    QTest::addRow("read-only folder, writable file")
      << true << QByteArray("[botan]\r\ncolor=-65536\r\n")
      << "[botan]\r\ncolor=-65536\r\n" + kAppendedIni << none;
}

void SettingsE2eTest::settingsGoWhereTheyCanBeWritten()
{
    QFETCH(bool, folderReadOnly);
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, beside);
    QFETCH(QByteArray, inSettingsFolder);
    Ombrix ombrix;
    StartOptions options;
    options.asOrdinaryUser = true;
    options.folderReadOnly = folderReadOnly;
    if (!before.isEmpty()) {
        options.ini = before;
    }
    QVERIFY(ombrix.start(options));
    clickControl(ombrix.geometry(), kButtonX);
    QVERIFY2(ombrix.waitFinished(), "the program did not end");
    QCOMPARE(ombrix.exitCode(), 0);
    QCOMPARE(ombrix.iniBytes().value_or(QByteArray()), beside);
    QCOMPARE(fileBytes(ombrix.configIniPath()).value_or(QByteArray()), inSettingsFolder);
}

void SettingsE2eTest::endSignalsWriteTheSettingsAndEndCleanly_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("boxOpen");     // the copy's confirmation is up
    QTest::addColumn<bool>("iniReadOnly"); // the write fails
    QTest::addRow("SIGTERM") << SIGTERM << false << false;
    QTest::addRow("SIGHUP") << SIGHUP << false << false;
    QTest::addRow("SIGINT") << SIGINT << false << false;
    QTest::addRow("SIGTERM while a message is up") << SIGTERM << true << false;
    QTest::addRow("SIGTERM, the file cannot be written") << SIGTERM << false << true;
}

void SettingsE2eTest::endSignalsWriteTheSettingsAndEndCleanly()
{
    QFETCH(int, signal);
    QFETCH(bool, boxOpen);
    QFETCH(bool, iniReadOnly);
    const QByteArray before("[botan]\r\ncolor=-65536\r\n");
    Ombrix ombrix;
    StartOptions options;
    options.ini = before;
    options.iniReadOnly = iniReadOnly;
    options.asOrdinaryUser = iniReadOnly;
    QVERIFY(ombrix.start(options));
    if (boxOpen) {
        clickControl(ombrix.geometry(), kButtonC);
        QVERIFY(findWindow("^情報$"));
    }
    ombrix.output();
    QCOMPARE(::kill(static_cast<pid_t>(ombrix.pid()), signal), 0);
    QVERIFY2(ombrix.waitFinished(), "the program did not end");
    QVERIFY(!ombrix.crashed());
    QCOMPARE(countWindows("^エラー$"), 0);
    if (iniReadOnly) {
        // Nobody is there to answer a message box: the reason goes to standard error.
        QCOMPARE(ombrix.exitCode(), 1);
        const QByteArray said = ombrix.output();
        QVERIFY2(said.contains(ombrix.iniPath().toUtf8()), said.constData());
        QCOMPARE(ombrix.iniBytes().value_or("<none>"), before);
    } else {
        QCOMPARE(ombrix.exitCode(), 0);
        QCOMPARE(ombrix.iniBytes().value_or("<none>"), before + kAppendedIni);
    }
}

void SettingsE2eTest::closeThatCannotWriteIsRefused_data()
{
    QTest::addColumn<bool>("withFile");
    QTest::addRow("read-only Ombrix.ini") << true;
    QTest::addRow("read-only folder, no file, read-only settings folder") << false;
}

void SettingsE2eTest::closeThatCannotWriteIsRefused()
{
    QFETCH(bool, withFile);
    Ombrix ombrix;
    StartOptions options;
    options.asOrdinaryUser = true;
    if (withFile) {
        options.ini = "[botan]\r\ncolor=-65536\r\n";
        options.iniReadOnly = true;
    } else {
        options.folderReadOnly = true;
        options.configHomeReadOnly = true;
    }
    QVERIFY(ombrix.start(options));
    const QString tried = withFile ? ombrix.iniPath() : ombrix.configIniPath();
    const QColor glow = glowOnScreen(ombrix.geometry());
    QVERIFY2(withFile ? isRed(glow) : isBlue(glow),
             qPrintable("the settings were not read: " + glow.name()));

    // Every close tries again, and every time the frame stays.
    for (int attempt = 0; attempt < 2; ++attempt) {
        clickControl(ombrix.geometry(), kButtonX);
        const auto text = messageText("^エラー$");
        QVERIFY2(text, "no error message");
        QVERIFY2(text->contains(tried + QString::fromUtf8(" に書き込めません.")),
                 qPrintable(*text));
        key("Return");
        QVERIFY(windowGone("^エラー$"));
        QVERIFY(ombrix.running());
        QVERIFY(findWindow("^Form1$"));
    }
    if (withFile) {
        QCOMPARE(ombrix.iniBytes().value_or("<none>"), QByteArray("[botan]\r\ncolor=-65536\r\n"));
    } else {
        QVERIFY(!ombrix.iniBytes());
    }
}

QTEST_GUILESS_MAIN(SettingsE2eTest)
#include "SettingsE2eTest.moc"
