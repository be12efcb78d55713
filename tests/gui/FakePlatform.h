#pragma once
// A platform for in-process tests: a synthetic desktop, scripted keys, and a record of what
// the program asked of it.

#include "platform.h"

#include <functional>
#include <set>
#include <stdexcept>

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
        lastCopyOrigin = { x, y, into.width, into.height };
        if (failCopy) {
            throw std::runtime_error("copy failed on purpose");
        }
        if (onCopy) {
            onCopy();
        }
        for (int row = 0; row < into.height; ++row) {
            for (int col = 0; col < into.width; ++col) {
                into.argb[static_cast<size_t>(row) * into.width + col] =
                  desktopPixel(x + col, y + row);
            }
        }
    }
    void waitHidden(uintptr_t) override { ++waits; }
    bool keyDown(int virtualKey) override { return down.count(virtualKey) > 0; }
    void switchBeepOff() override { ++beepOffs; }
    ombrix::ShowCommand startShowCommand() override { return showCommand; }
    std::unique_ptr<ombrix::IniFile> openIniFile(const std::string& path) override
    {
        return ombrix::openPortableIniFile(path);
    }

    int copies = 0;
    int waits = 0;
    int beepOffs = 0;
    bool failCopy = false;
    ombrix::Rect lastCopyOrigin;
    std::function<void()> onCopy;
    std::set<int> down;
    ombrix::ShowCommand showCommand = ombrix::ShowCommand::Normal;
};
