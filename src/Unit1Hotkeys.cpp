// TForm1: the Ctrl+Alt+letter shortcuts, read from the keyboard's state every 10 ms, whichever
// program has the focus.

#include "Unit1.h"

#include "Unit2.h"
#include "WindowShow.h"
#include "virtual_keys.h"

#include <QTimer>

void TForm1::TtimKeyGetTimer(QObject*)
{
    if (syoriChu) {
        return;
    }
    ombrix::Platform& keys = ombrix::platform();
    // A close the settings file refused waits until its key is let go, rather than failing
    // again with its message at every tick.
    if (closeHeldOff_ && !keys.keyDown(kiiCode[4])) {
        closeHeldOff_ = false;
    }
    if (!keys.keyDown(ombrix::vk::Control)) {
        return;
    }
    if (!keys.keyDown(ombrix::vk::Menu)) {
        return;
    }
    for (size_t i = 0; i < kiiCode.size(); ++i) {
        if (keys.keyDown(kiiCode[i])) {
            runShortcut(static_cast<int>(i) + 1);
        }
    }
}

void TForm1::runShortcut(int action)
{
    switch (action) {
        case 1:
            clipCopi(this);
            break;
        case 2:
            failseibu(this);
            break;
        case 3:
            showWindow(Form2);
            break;
        case 4:
            btnSaisyoukaClick(this);
            break;
        case 5:
            if (!closeHeldOff_ && !close()) {
                closeHeldOff_ = true;
            }
            break;
        default:
            break;
    }
}
