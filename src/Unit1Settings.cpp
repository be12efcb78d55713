// TForm1: the settings file and the hints that show the settings.

#include "Unit1.h"

#include "Errors.h"
#include "Log.h"
#include "Rules.h"
#include "controls/GlowButton.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace
{

struct LetterKey {
    const char16_t* key;
    const char* fallback;
};
// Actions 1 to 5: copy, save, zoom, minimise, close.
constexpr LetterKey kLetterKeys[5] = {
    { u"copi", "C" }, { u"save", "V" }, { u"zoom", "W" }, { u"mini", "S" }, { u"clos", "X" },
};
constexpr char16_t kSectionColour[] = u"botan";
constexpr char16_t kSectionLetters[] = u"sKyMoj";
constexpr char16_t kSectionKeys[] = u"kii";

// Whether a file can be made in `folder`: tried for real, since permission bits, access lists
// and read-only mounts all have their say.
bool canCreateFileIn(const QString& folder)
{
    QTemporaryFile probe(folder + QStringLiteral("/.Ombrix-XXXXXX"));
    return probe.open();
}

// The user's own folder for settings: %APPDATA% on Windows, ${XDG_CONFIG_HOME:-~/.config}
// elsewhere.
QString userSettingsFolder()
{
#ifdef Q_OS_WIN
    const QString appData = qEnvironmentVariable("APPDATA");
    if (!appData.isEmpty()) {
        return appData;
    }
#endif
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
}

// Whether `folder` is the one that installing the build puts the program in (/usr/bin for the
// package): no settings are made there, whoever runs the program.
bool installFolder(const QString& folder)
{
#ifdef OMBRIX_INSTALL_BINDIR
    const QString installed = QFileInfo(QStringLiteral(OMBRIX_INSTALL_BINDIR)).canonicalFilePath();
    return !installed.isEmpty() && QFileInfo(folder).canonicalFilePath() == installed;
#else
    Q_UNUSED(folder);
    return false;
#endif
}

// Beside the program file, whatever the working folder, when the file is there or can be made
// there (a copy unpacked anywhere keeps its settings with it); otherwise, for a program
// installed where its user cannot write (or in the system's folder of programs), in the user's
// own settings folder. Decided once, at the first read.
QString iniPath()
{
    static const QString path = [] {
        const QString folder = QCoreApplication::applicationDirPath();
        const QString beside = folder + QStringLiteral("/Ombrix.ini");
        if (QFileInfo::exists(beside) || (!installFolder(folder) && canCreateFileIn(folder))) {
            return QDir::toNativeSeparators(beside);
        }
        qCInfo(lcSettings).noquote()
          << "no settings can be kept in" << folder << "- the user's settings folder is used";
        return QDir::toNativeSeparators(userSettingsFolder() +
                                        QStringLiteral("/Ombrix/Ombrix.ini"));
    }();
    return path;
}

std::u16string toU16(const QString& s)
{
    return std::u16string(reinterpret_cast<const char16_t*>(s.utf16()),
                          static_cast<size_t>(s.size()));
}

QString fromU16(const std::u16string& s)
{
    return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size()));
}

TAlphaColor readColour(ombrix::IniFile& ini,
                       const char16_t* section,
                       const char16_t* key,
                       TAlphaColor fallback)
{
    const QString text = fromU16(ini.readString(section, key, u""));
    return static_cast<TAlphaColor>(rules::iniInteger(text, static_cast<int32_t>(fallback)));
}

} // namespace

void TForm1::iniYomu(QObject*)
{
    auto ini = ombrix::platform().openIniFile(iniPath().toStdString());
    botanIro = readColour(*ini, kSectionColour, u"color", claBlue);
    for (size_t i = 0; i < kiiMoji.size(); ++i) {
        kiiMoji[i] = fromU16(ini->readString(kSectionLetters,
                                             kLetterKeys[i].key,
                                             toU16(QString::fromLatin1(kLetterKeys[i].fallback))));
    }
    kiiIro = readColour(*ini, kSectionKeys, u"fontcolor", claGold);
    botanHintSet(this);
    for (size_t i = 0; i < kiiMoji.size(); ++i) {
        kiiCode[i] = rules::keyCodeOf(kiiMoji[i]);
    }
}

void TForm1::iniKaku(QObject*)
{
    const QString path = iniPath();
    // The user's settings folder may not be there yet; a failure shows as the write's.
    QDir().mkpath(QFileInfo(path).absolutePath());
    auto ini = ombrix::platform().openIniFile(path.toStdString());
    // The reason goes to the log; the user is told which file could not be written.
    const auto refuse = [&] {
        qCWarning(lcSettings).noquote()
          << "writing" << path << "failed:" << QString::fromStdString(ini->lastError());
        throw OmbrixError(QStringLiteral("%1 に書き込めません").arg(path));
    };
    const auto put = [&](const char16_t* section, const char16_t* key, const QString& value) {
        if (!ini->writeString(section, key, toU16(value))) {
            refuse();
        }
    };
    put(kSectionColour, u"color", QString::number(static_cast<int32_t>(botanIro)));
    for (size_t i = 0; i < kiiMoji.size(); ++i) {
        put(kSectionLetters, kLetterKeys[i].key, kiiMoji[i]);
    }
    put(kSectionKeys, u"fontcolor", QString::number(static_cast<int32_t>(kiiIro)));
    if (!ini->flush()) {
        refuse();
    }
}

void TForm1::botanHintSet(QObject*)
{
    const auto hint = [](int action) {
        return rules::shortcutHint(QString::fromUtf8(kShortcutActions[action]), kiiMoji[action]);
    };
    Form1->btnCopi->setToolTip(hint(0));
    Form1->btnFilSave->setToolTip(hint(1));
    Form1->btnZoom->setToolTip(hint(2));
    Form1->btnHelp->setToolTip(QStringLiteral("About"));
    Form1->btnSaisyouka->setToolTip(hint(3));
    Form1->btnClose->setToolTip(hint(4));
    // The letters have been read or changed: the desktop's bindings follow them.
    Form1->bindDesktopShortcuts();
}
