#include "MessageBox.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>

MessageBox::MessageBox(Icon icon, const QString& title, const QString& text)
  : QMessageBox(icon, title, text, QMessageBox::Ok)
{
    setDefaultButton(QMessageBox::Ok);
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    setTextInteractionFlags(Qt::TextSelectableByMouse);
}

void MessageBox::show(Icon icon, const QString& title, const QString& text)
{
    MessageBox box(icon, title, text);
    box.exec();
}

void MessageBox::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::Copy)) {
        const QString rule = QStringLiteral("---------------------------\n");
        QGuiApplication::clipboard()->setText(rule + windowTitle() + u'\n' + rule + text() + u'\n' +
                                              rule);
        event->accept();
        return;
    }
    QMessageBox::keyPressEvent(event);
}
