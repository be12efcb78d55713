#pragma once

class QClipboard;
class QImage;

// The clipboard's content for a picture. Other programs mostly ask for image/png: that is
// encoded once, on a worker thread, starting at once, and every request is answered with those
// bytes (waiting for them if need be), rather than encoded anew on the interface thread at each
// request. Every other image format is still offered, made from the same picture.
void putPictureOnClipboard(QClipboard* clipboard, const QImage& picture);

// Before the program ends: what it holds on the X clipboard goes to the session's clipboard
// manager, a picture of ours as its PNG alone, so that it outlives the program; then what the
// program still holds (the clipboard, the selection) is given up. Returns once the manager has
// the content, within 0.15 s when it does not answer; at once where there is no
// clipboard manager, nothing is held, or the system keeps the clipboard itself. Called again,
// it does nothing.
void handOverClipboard(QClipboard* clipboard);
