// The real program when things go wrong around it: killed while it writes Ombrix.ini, settings
// files it can hardly read, a save folder that vanishes under the dialog, a clipboard held by
// another program, and the X server going away.

#include "Desktop.h"
#include "E2e.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <csignal>

using namespace e2e;

namespace
{

// The temporary files of writes of Ombrix.ini in a folder.
QStringList temporaryFiles(const QString& folder)
{
    return QDir(folder).entryList({ "Ombrix.ini.tmp*" }, QDir::Files | QDir::Hidden | QDir::System);
}

enum class Huge {
    BotanAtTop,
    BotanAtEnd,
    NulBytes, // and no line end at all
};

// A big settings file written in pieces: filler sections of ordinary lines with [botan] (a red
// glow) at the top or at the end, or NUL bytes only. Returns the hash of what it wrote.
QByteArray writeHugeFile(const QString& path, qint64 bytes, Huge layout)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return {};
    }
    QCryptographicHash hash(QCryptographicHash::Sha1);
    const auto put = [&](const QByteArray& b) {
        f.write(b);
        hash.addData(b);
    };
    if (layout == Huge::NulBytes) {
        const QByteArray zeros(1 << 20, '\0');
        while (f.size() < bytes) {
            put(zeros);
        }
        return hash.result();
    }
    const QByteArray botan = "[botan]\r\ncolor=-65536\r\n";
    if (layout == Huge::BotanAtTop) {
        put(botan);
    }
    QByteArray block;
    for (int i = 0; i < 1000; ++i) {
        block += "line" + QByteArray::number(i) + "=a value that makes the settings file huge\r\n";
    }
    for (int n = 0; f.size() < bytes; ++n) {
        put("[filler " + QByteArray::number(n) + "]\r\n" + block);
    }
    if (layout == Huge::BotanAtEnd) {
        put(botan);
    }
    return hash.result();
}

// The hash of the first `length` bytes of a file.
QByteArray hashOfStart(const QString& path, qint64 length)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    QCryptographicHash hash(QCryptographicHash::Sha1);
    while (length > 0) {
        const QByteArray chunk = f.read(std::min<qint64>(length, 1 << 20));
        if (chunk.isEmpty()) {
            return {};
        }
        hash.addData(chunk);
        length -= chunk.size();
    }
    return hash.result();
}

} // namespace

class FaultE2eTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void killedWhileClosingLeavesTheOldOrTheNewFile();
    void settingsThatCannotBeReadGiveDefaultsAndARefusedClose_data();
    void settingsThatCannotBeReadGiveDefaultsAndARefusedClose();
    void settingsWithNulBytesOrInvalidUtf8_data();
    void settingsWithNulBytesOrInvalidUtf8();
    void hugeSettingsFileStartsAtOnce_data();
    void hugeSettingsFileStartsAtOnce();
    void saveIntoAFolderThatVanishesShowsTheErrorAndGoesOn();
    void copyTakesTheClipboardFromAnotherProgram_data();
    void copyTakesTheClipboardFromAnotherProgram();
    void xServerGoingAwayEndsTheProgram_data();
    void xServerGoingAwayEndsTheProgram();
};

void FaultE2eTest::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("DISPLAY"),
             "these tests drive a real X server: run them through scripts/test");
    QCOMPARE(run(testdeskBinary(), { "root" }).exitCode, 0);
}

void FaultE2eTest::killedWhileClosingLeavesTheOldOrTheNewFile()
{
    // One folder for every run, as a user's program folder: what a kill leaves there stays.
    Ombrix ombrix;
    const QByteArray oldBytes = "; written by hand\r\n[botan]\r\ncolor=$FFFF0000\r\n[mine]\r\n"
                                "foo=bar\r\n";
    const QByteArray newBytes = "; written by hand\r\n[botan]\r\ncolor=-65536\r\n[mine]\r\n"
                                "foo=bar\r\n" +
                                kAppendedIni;

    // One run: the old file, the program, a close asked as the window manager's close box
    // asks it, and SIGKILL `killAfterNs` later (never, when negative). Returns how long the
    // close took when nothing killed the program, else -1.
    //
    // Qt keeps settings of its own (the save dialog's), in a file that it locks while it writes
    // it at the end of the program. A kill there can leave an empty lock file, which Qt takes
    // for a live one for 30 s: the next program's end waits that long. That is Qt's and not
    // what this test is about, so each run has a folder of its own for those settings.
    qint64 lastPid = 0;
    int runNumber = 0;
    const auto closeRun = [&](qint64 killAfterNs) -> qint64 {
        StartOptions options;
        options.ini = oldBytes;
        options.env = {
            { "XDG_CONFIG_HOME",
              QDir(ombrix.folder()).filePath(QString("qt-settings-%1").arg(runNumber++)) }
        };
        if (!ombrix.start(options)) {
            return -2;
        }
        lastPid = ombrix.pid();
        run(testdeskBinary(), { "close", ombrix.windowId() });
        QElapsedTimer since;
        since.start();
        if (killAfterNs >= 0) {
            while (since.nsecsElapsed() < killAfterNs) {
                const qint64 left = killAfterNs - since.nsecsElapsed();
                if (left > 2000000) {
                    QThread::usleep(static_cast<unsigned long>(left / 1000 - 1000));
                }
            }
            // The process is not reaped before this: its id is still its own.
            ::kill(static_cast<pid_t>(lastPid), SIGKILL);
        }
        if (!ombrix.waitFinished(10000)) {
            return -2;
        }
        return !ombrix.crashed() && ombrix.exitCode() == 0 ? since.nsecsElapsed() : -1;
    };
    const auto iniNow = [&] { return ombrix.iniBytes().value_or("<no file>"); };

    // How long a close takes, from the request to the end of the process.
    qint64 closeNs = 0;
    for (int i = 0; i < 3; ++i) {
        const qint64 ns = closeRun(-1);
        QVERIFY2(ns >= 0, "a close without a kill did not end by itself");
        QCOMPARE(iniNow(), newBytes);
        QVERIFY(temporaryFiles(ombrix.folder()).isEmpty());
        closeNs = std::max(closeNs, ns);
    }

    // Kill moments spread over the whole close and a quarter past it.
    const int runs = 200;
    int oldCount = 0, newCount = 0, newKilled = 0, endedItself = 0, tempLeft = 0;
    int mostLeftovers = 0;
    QRandomGenerator random(20261210);
    for (int i = 0; i < runs; ++i) {
        const qint64 delay = random.bounded(closeNs * 5 / 4);
        const QStringList before = temporaryFiles(ombrix.folder());
        const qint64 closed = closeRun(delay);
        QVERIFY2(closed != -2, qPrintable(QString("run %1 did not start or end").arg(i)));
        const QByteArray now = iniNow();
        QVERIFY2(now == oldBytes || now == newBytes,
                 qPrintable(QString("run %1, killed %2 us into the close: Ombrix.ini is neither "
                                    "old nor new: %3")
                              .arg(i)
                              .arg(delay / 1000)
                              .arg(QString::fromLatin1(now.toPercentEncoding()))));
        (now == oldBytes ? oldCount : newCount)++;
        const QStringList after = temporaryFiles(ombrix.folder());
        if (closed >= 0) {
            // A close that ran to its end wrote the file and cleared every leftover.
            ++endedItself;
            QCOMPARE(now, newBytes);
            QVERIFY2(after.isEmpty(), qPrintable(after.join(", ")));
        } else if (now == newBytes) {
            ++newKilled;
        }
        for (const QString& name : after) {
            QVERIFY2(before.contains(name) || name == "Ombrix.ini.tmp" + QString::number(lastPid),
                     qPrintable("a temporary file of no killed run: " + name));
        }
        tempLeft += after.size() > before.size();
        mostLeftovers = std::max<int>(mostLeftovers, after.size());
    }
    qInfo("%d kills over a close of %lld us: %d left the old file, %d the new one (%d of them "
          "killed after the rename, %d ended before the kill); %d left a temporary file, at "
          "most %d lay there at once",
          runs,
          closeNs / 1000,
          oldCount,
          newCount,
          newKilled,
          endedItself,
          tempLeft,
          mostLeftovers);
    QVERIFY2(oldCount > 0 && newCount > 0, "the kills did not spread over the write");

    // The next close that runs to its end leaves nothing behind.
    QVERIFY(closeRun(-1) >= 0);
    QCOMPARE(iniNow(), newBytes);
    QVERIFY2(temporaryFiles(ombrix.folder()).isEmpty(),
             qPrintable(temporaryFiles(ombrix.folder()).join(", ")));
}

void FaultE2eTest::settingsThatCannotBeReadGiveDefaultsAndARefusedClose_data()
{
    QTest::addColumn<bool>("folder"); // else a file nobody may read
    QTest::addRow("a folder named Ombrix.ini") << true;
    QTest::addRow("a file of mode 000") << false;
}

void FaultE2eTest::settingsThatCannotBeReadGiveDefaultsAndARefusedClose()
{
    QFETCH(bool, folder);
    Ombrix ombrix;
    StartOptions options;
    const QByteArray red = "[botan]\r\ncolor=-65536\r\n";
    if (folder) {
        QVERIFY(QDir(ombrix.folder()).mkdir("Ombrix.ini"));
        QVERIFY(writeFile(ombrix.iniPath() + "/inside.txt", red));
    } else {
        options.ini = red;
        options.iniUnreadable = true;
        options.asOrdinaryUser = true; // root reads any file
    }
    QVERIFY(ombrix.start(options));
    const QColor glow = glowOnScreen(ombrix.geometry());
    QVERIFY2(isBlue(glow), qPrintable("not the default blue glow: " + glow.name()));

    // The close is refused with the message, and the program goes on.
    clickControl(ombrix.geometry(), kButtonX);
    const auto text = messageText("^エラー$");
    QVERIFY2(text, "no error message");
    QVERIFY2(text->contains(ombrix.iniPath() + QString::fromUtf8(" に書き込めません.")),
             qPrintable(*text));
    const auto box = findWindow("^エラー$");
    QVERIFY(box && dismiss(*box));
    QVERIFY(windowGone("^エラー$"));
    QVERIFY(ombrix.running());
    QVERIFY(findWindow("^Form1$"));
    if (folder) {
        QVERIFY(QFileInfo(ombrix.iniPath()).isDir());
        QCOMPARE(fileBytes(ombrix.iniPath() + "/inside.txt").value_or("<no file>"), red);
    } else {
        QCOMPARE(ombrix.iniBytes().value_or("<no file>"), red);
        const QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                        QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                        QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
        QCOMPARE(QFileInfo(ombrix.iniPath()).permissions() & mode, QFile::Permissions());
    }
    QVERIFY(temporaryFiles(ombrix.folder()).isEmpty());
}

void FaultE2eTest::settingsWithNulBytesOrInvalidUtf8_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    const QByteArray nul(65536, '\0');
    QTest::addRow("NUL bytes around the section, no last line end")
      << nul + "\r\n[botan]\r\ncolor=-65536\r\n" + QByteArray(1000, '\0')
      << nul + "\r\n[botan]\r\ncolor=-65536\r\n" + QByteArray(1000, '\0') + "\r\n" + kAppendedIni;
    // Bytes that are no UTF-8, also in a header that looks like [botan] and in the letter
    // for copying, which comes back as two replacement characters.
    QTest::addRow("invalid UTF-8")
      << QByteArray("\xC3\x28\xA0\xA1 [b\xFFotan]\n\xF0\x28\x8C\x28\n[botan]\ncolor=-65536\n"
                    "\xED\xA0\x80=\xFF\n[sKyMoj]\ncopi=\xFF\xFE\n")
      << QByteArray("\xC3\x28\xA0\xA1 [b\xFFotan]\n\xF0\x28\x8C\x28\n[botan]\ncolor=-65536\n"
                    "\xED\xA0\x80=\xFF\n[sKyMoj]\ncopi=\xEF\xBF\xBD\xEF\xBF\xBD\nsave=V\nzoom=W\n"
                    "mini=S\nclos=X\n[kii]\nfontcolor=-10496\n");
}

void FaultE2eTest::settingsWithNulBytesOrInvalidUtf8()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    Ombrix ombrix;
    StartOptions options;
    options.ini = before;
    QVERIFY(ombrix.start(options));
    const QColor glow = glowOnScreen(ombrix.geometry());
    QVERIFY2(isRed(glow), qPrintable("the red glow was not read: " + glow.name()));
    clickControl(ombrix.geometry(), kButtonX);
    QVERIFY2(ombrix.waitFinished(10000), "the program did not end");
    QCOMPARE(ombrix.exitCode(), 0);
    QCOMPARE(ombrix.iniBytes().value_or("<no file>"), after);
}

void FaultE2eTest::hugeSettingsFileStartsAtOnce_data()
{
    QTest::addColumn<int>("layout");
    QTest::addColumn<bool>("red");
    QTest::addColumn<QByteArray>("appended"); // what the close adds at the end
    QTest::addRow("100 MB, [botan] at the top") << int(Huge::BotanAtTop) << true << kAppendedIni;
    QTest::addRow("100 MB, [botan] at the end") << int(Huge::BotanAtEnd) << true << kAppendedIni;
    QTest::addRow("100 MB of NUL bytes in one line")
      << int(Huge::NulBytes) << false << "\r\n" + kDefaultIni;
}

void FaultE2eTest::hugeSettingsFileStartsAtOnce()
{
    QFETCH(int, layout);
    QFETCH(bool, red);
    QFETCH(QByteArray, appended);
    // The same start with a settings file of two lines, for comparison.
    qint64 plainMs = 0, plainKb = 0;
    {
        Ombrix plain;
        StartOptions options;
        options.ini = "[botan]\r\ncolor=-65536\r\n";
        QElapsedTimer t;
        t.start();
        QVERIFY(plain.start(options));
        plainMs = t.elapsed();
        plainKb = processStatusKb(plain.pid(), "VmHWM:");
        QVERIFY(plainKb > 0);
    }

    Ombrix ombrix;
    const qint64 size = 100 << 20;
    const QByteArray written = writeHugeFile(ombrix.iniPath(), size, Huge(layout));
    QVERIFY(!written.isEmpty());
    const qint64 oldSize = QFileInfo(ombrix.iniPath()).size();
    QElapsedTimer t;
    t.start();
    QVERIFY(ombrix.start());
    const qint64 startMs = t.elapsed();
    const qint64 peakKb = processStatusKb(ombrix.pid(), "VmHWM:");
    QVERIFY(peakKb > 0);
    const QColor glow = glowOnScreen(ombrix.geometry());
    QVERIFY2(
      red ? isRed(glow) : isBlue(glow),
      qPrintable(QString("not the %1 glow: %2").arg(red ? "red" : "default blue", glow.name())));

    t.restart();
    clickControl(ombrix.geometry(), kButtonX);
    QVERIFY2(ombrix.waitFinished(20000), "the program did not end");
    const qint64 closeMs = t.elapsed();
    QCOMPARE(ombrix.exitCode(), 0);
    qInfo("started in %lld ms with at most %lld kB in use (%lld ms and %lld kB with a file of "
          "two lines); closed in %lld ms",
          startMs,
          peakKb,
          plainMs,
          plainKb,
          closeMs);
    // Reading a file all at once takes several times its size in memory, and a second or
    // more: the settings are read only as far as needed, through a small buffer.
    QVERIFY2(peakKb < plainKb + 32 * 1024, "the program held the settings file in memory");
    // Sanitizer builds run several times slower (scripts/sanitize says by how much).
    const int slower = std::max(1, qEnvironmentVariableIntValue("OMBRIX_E2E_SLOWER"));
    QVERIFY2(startMs < plainMs + 1000 * slower, "the start waited for the whole settings file");

    // Every byte of the file is where it was, and what was missing follows it.
    QCOMPARE(QFileInfo(ombrix.iniPath()).size(), oldSize + appended.size());
    QCOMPARE(hashOfStart(ombrix.iniPath(), oldSize), written);
    QFile f(ombrix.iniPath());
    QVERIFY(f.open(QIODevice::ReadOnly) && f.seek(oldSize));
    QCOMPARE(f.readAll(), appended);
}

void FaultE2eTest::saveIntoAFolderThatVanishesShowsTheErrorAndGoesOn()
{
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    QVERIFY(ombrix.moveTo(333, 222));
    const QRect frame = ombrix.geometry();
    QDir out(ombrix.folder());
    QVERIFY(out.mkdir("out"));
    const QString path = out.filePath("out/picture.png");

    clickControl(frame, kMoveHandle, 2);
    const auto dialog = findWindow("^名前を付けて保存$");
    QVERIFY2(dialog, "no save dialog");
    typeFileName(*dialog, path);
    // The folder goes while the dialog is open, the name typed into it.
    QVERIFY(QDir(out.filePath("out")).removeRecursively());
    key("Return");

    const auto text = messageText("^エラー$");
    QVERIFY2(text, "no error message");
    QVERIFY2(text->contains(QString::fromUtf8("ファイル %1 を作成できません。").arg(path)),
             qPrintable(*text));
    const auto error = findWindow("^エラー$");
    QVERIFY(error && dismiss(*error));
    QVERIFY(windowGone("^エラー$"));
    QVERIFY(windowGone("^名前を付けて保存$"));
    QVERIFY(ombrix.running());
    QVERIFY(!QFileInfo::exists(out.filePath("out")));

    // The frame is back where it was, and the shortcuts work again: the save did not leave
    // the program busy.
    QVERIFY(findWindow("^Form1$"));
    QVERIFY(waitFor([&] { return ombrix.geometry() == frame; }));
    const QString problem = copyByShortcutProblem(frame);
    QVERIFY2(problem.isEmpty(), qPrintable("after the failed save: " + problem));
}

void FaultE2eTest::copyTakesTheClipboardFromAnotherProgram_data()
{
    QTest::addColumn<QString>("owner");
    QTest::addRow("another program holds text") << "running";
    QTest::addRow("the holder is frozen") << "stopped";
    QTest::addRow("the holder is killed as the copy starts") << "killed";
}

void FaultE2eTest::copyTakesTheClipboardFromAnotherProgram()
{
    QFETCH(QString, owner);
    Ombrix ombrix;
    QVERIFY(ombrix.start());
    QVERIFY(ombrix.moveTo(300, 200));
    const QRect frame = ombrix.geometry();

    // xclip in the foreground owns the clipboard until another program takes it over.
    QProcess holder;
    holder.start("xclip", { "-selection", "clipboard", "-i", "-quiet" });
    QVERIFY(holder.waitForStarted(5000));
    holder.write("held by another program");
    holder.closeWriteChannel();
    QVERIFY(waitFor([] {
        return run("xclip", { "-selection", "clipboard", "-o" }).out == "held by another program";
    }));
    const auto holderPid = static_cast<pid_t>(holder.processId());
    if (owner == "stopped") {
        ::kill(holderPid, SIGSTOP);
    }

    clickControl(frame, kButtonC);
    if (owner == "killed") {
        ::kill(holderPid, SIGKILL);
    }
    const auto box = findWindow("^情報$");
    QVERIFY2(box, "no confirmation of the copy");
    const auto picture = clipboardPng();
    const QByteArray targets = clipboardTargets();
    if (owner == "stopped") {
        ::kill(holderPid, SIGCONT);
    }
    QVERIFY(dismiss(*box));
    QVERIFY2(picture, "no image/png on the clipboard");
    const QString diff = compareCopy(*picture, frame);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QVERIFY2(targets.contains("image/png") && !targets.contains("UTF8_STRING"),
             targets.constData());

    // The other program was told that it lost the clipboard, and ended as it does then.
    QVERIFY2(holder.waitForFinished(5000), "the other program still holds on");
    if (owner != "killed") {
        QCOMPARE(holder.exitStatus(), QProcess::NormalExit);
        QCOMPARE(holder.exitCode(), 0);
    }
    QVERIFY(ombrix.running());
}

void FaultE2eTest::xServerGoingAwayEndsTheProgram_data()
{
    QTest::addColumn<QString>("doing");
    QTest::addColumn<int>("signal");
    QTest::addRow("idle, the server killed") << "idle" << int(SIGKILL);
    QTest::addRow("idle, the server ended") << "idle" << int(SIGTERM);
    QTest::addRow("confirmation box open") << "confirm" << int(SIGKILL);
    QTest::addRow("save dialog open") << "save" << int(SIGTERM);
    QTest::addRow("dragging with the zoom window") << "drag" << int(SIGKILL);
    QTest::addRow("copying") << "copy" << int(SIGKILL);
}

void FaultE2eTest::xServerGoingAwayEndsTheProgram()
{
    QFETCH(QString, doing);
    QFETCH(int, signal);
    // A desktop of its own, bare: no window manager; its X server is to go away.
    DesktopKind kind;
    kind.size = { 1280, 800 };
    kind.windowManager.clear();
    Desktop desktop;
    QVERIFY2(desktop.start(kind), qPrintable(desktop.error()));
    Ombrix ombrix;
    QVERIFY2(ombrix.start(),
             qPrintable(desktop.display() + ": " + QString::fromUtf8(ombrix.output())));
    const QRect frame = ombrix.geometry();
    QVERIFY(frame.isValid());

    if (doing == "confirm") {
        clickControl(frame, kButtonC);
        QVERIFY(findWindow("^情報$"));
    } else if (doing == "save") {
        clickControl(frame, kMoveHandle, 2);
        QVERIFY(findWindow("^名前を付けて保存$"));
    } else if (doing == "drag") {
        clickControl(frame, kButtonW);
        QVERIFY(findWindow("^Ombrix Zoom Window$"));
        const QPoint handle = controlAt(frame, kMoveHandle);
        pointerTo(handle.x(), handle.y());
        run("xdotool", { "mousedown", "1", "mousemove_relative", "--", "40", "30" });
        QThread::msleep(300); // the zoom reads the corners ten times a second meanwhile
    } else if (doing == "copy") {
        clickControl(frame, kButtonC);
    }

    // A write to the socket of a server that has gone raises SIGPIPE; whether the program
    // writes before it reads the server's end is a matter of timing, so it gets one for sure.
    ::kill(static_cast<pid_t>(ombrix.pid()), SIGPIPE);
    QVERIFY2(desktop.killServer(signal), "the X server did not go away");
    QVERIFY2(ombrix.waitFinished(5000), "the program runs on without its X server");
    const QByteArray output = ombrix.output();
    qInfo("ended with code %d: %s", ombrix.exitCode(), output.simplified().constData());
    QVERIFY2(!ombrix.crashed(),
             qPrintable(QString("ended by a signal: %1").arg(ombrix.exitCode())));
    QVERIFY2(ombrix.exitCode() == 0 || ombrix.exitCode() == 1,
             qPrintable(QString("exit code %1").arg(ombrix.exitCode())));
    for (const char* fatal : { "AddressSanitizer",
                               "runtime error",
                               "terminate called",
                               "Segmentation",
                               "Aborted",
                               "QFATAL" }) {
        QVERIFY2(!output.contains(fatal), output.constData());
    }
    // Nor did Xlib's fatal path run ("XIO: fatal IO error", "X connection to ... broken"):
    // it calls exit() from inside whatever X call failed, and the destructors that exit runs
    // talk to the dead server again.
    QVERIFY2(!output.contains("XIO:") && !output.contains("X connection to"), output.constData());
    QVERIFY(QDir(ombrix.folder()).entryList({ "core*" }).isEmpty());
}

QTEST_GUILESS_MAIN(FaultE2eTest)
#include "FaultE2eTest.moc"
