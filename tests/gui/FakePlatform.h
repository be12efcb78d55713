#pragma once
// A platform for in-process tests: a synthetic desktop, scripted keys, and a record of what
// the program asked of it.

#include "platform.h"
#include "portable_ini_file.h"

#include <QStringList>

#include <functional>
#include <set>
#include <stdexcept>
#include <string>

class QWidget;

class FakePlatform : public ombrix::Platform
{
public:
    // The synthetic desktop: a distinct colour for every pixel.
    static uint32_t desktopPixel(int x, int y)
    {
        return 0xFF000000u | ((static_cast<uint32_t>(x) & 0xFFF) << 12) |
               (static_cast<uint32_t>(y) & 0xFFF);
    }

    void copyDesktop(int x, int y, ombrix::Pixels& into) override
    {
        ++copies;
        log.push_back(QString("copy %1,%2 %3x%4").arg(x).arg(y).arg(into.width).arg(into.height));
        lastCopyOrigin = { x, y, into.width, into.height };
        if (failCopy) {
            throw std::runtime_error("copy failed on purpose");
        }
        if (onCopy) {
            onCopy();
        }
        into.lent.reset();
        into.argb.resize(static_cast<size_t>(into.width) * static_cast<size_t>(into.height));
        for (int row = 0; row < into.height; ++row) {
            for (int col = 0; col < into.width; ++col) {
                into.argb[static_cast<size_t>(row) * into.width + col] =
                  desktopPixel(x + col, y + row);
            }
        }
    }
    // Unknown: the program then places its windows by the toolkit's own geometry.
    ombrix::Rect windowArea(uintptr_t) override { return {}; }
    void grabUnder(uintptr_t,
                   const ombrix::Rect& area,
                   ombrix::Pixels& into,
                   ombrix::GrabTimes*) override
    {
        ++waits;
        into.width = area.width;
        into.height = area.height;
        copyDesktop(area.x, area.y, into);
    }
    bool keyDown(int virtualKey) override
    {
        log.push_back(QString("key %1").arg(virtualKey, 2, 16, QChar('0')));
        return down.count(virtualKey) > 0;
    }
    void switchBeepOff() override { ++beepOffs; }
    ombrix::ShowCommand startShowCommand() override { return showCommand; }
    // Left to the toolkit, unless the clipboard is to refuse, as the Windows one can.
    bool setClipboardPicture(int, int, const uint32_t*, int) override
    {
        if (refuseClipboard) {
            throw ombrix::PlatformError(ombrix::Failure::ClipboardRefused,
                                        "the test holds the clipboard");
        }
        return false;
    }
    int keyWakeDescriptor() override { return wakeDescriptor; }
    std::unique_ptr<ombrix::IniFile> openIniFile(const std::string& path) override
    {
        // Tests keep the settings in a folder of their own, not beside the test program.
        const std::string name = path.substr(path.find_last_of("/\\") + 1);
        return ombrix::openPortableIniFile(iniFolder.empty() ? path : iniFolder + "/" + name);
    }

    int copies = 0;
    int waits = 0;
    int beepOffs = 0;
    bool failCopy = false;
    bool refuseClipboard = false;
    ombrix::Rect lastCopyOrigin;
    std::function<void()> onCopy;
    std::set<int> down;
    QStringList log;
    std::string iniFolder;
    int wakeDescriptor = -1;
    ombrix::ShowCommand showCommand = ombrix::ShowCommand::Normal;
};
