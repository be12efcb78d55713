#pragma once

#include <QMessageBox>

// The program's modal message: one OK button, on top of everything. As on Windows, Ctrl+C copies
// the title and the text to the clipboard, so that a user can paste an error into a report.
class MessageBox : public QMessageBox
{
    Q_OBJECT
public:
    MessageBox(Icon icon, const QString& title, const QString& text);

    // Shows the message and returns once the user has dismissed it.
    static void show(Icon icon, const QString& title, const QString& text);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};
