#pragma once

class QClipboard;
class QImage;

// The clipboard's content for a picture. Other programs mostly ask for image/png: that is
// encoded once, on a worker thread, starting at once, and every request is answered with those
// bytes (waiting for them if need be), rather than encoded anew on the interface thread at each
// request. Every other image format is still offered, made from the same picture.
void putPictureOnClipboard(QClipboard* clipboard, const QImage& picture);
