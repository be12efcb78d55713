#pragma once

class QPoint;
class QSize;
class QWidget;

// Shows a window the way every "show" in the program does: a hidden window is shown, centred on
// the primary display's work area the first time and where the user left it after that; a
// visible one is brought to the front. Either way it is activated.
void showWindow(QWidget* window);

// The top-left corner of a window of `size` centred on the primary display's work area, kept
// on the desktop.
QPoint centredOnPrimaryWorkArea(const QSize& size);

// Flags of the program's small secondary windows: a title bar with a close box only, on top.
void makeToolWindow(QWidget* window, const char* title, int clientWidth, int clientHeight);
