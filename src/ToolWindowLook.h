#pragma once
// The look that the small secondary windows share: their style sheet, and texts fitted to
// controls of a fixed size.

class QString;
class QWidget;

// The dark style sheet of the secondary windows, from the resources.
QString darkStyleSheet();

// Narrows the widget's font just enough for `text` to fit in `width` pixels, so that a text
// is never cut or shortened in a control of a fixed size.
void fitTextWidth(QWidget* widget, const QString& text, int width);
