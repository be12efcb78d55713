#pragma once
// The program's four windows in-process over a fake platform, and a way to answer the modal
// dialogs they open.

#include "FakePlatform.h"
#include "Globals.h"
#include "Unit1.h"
#include "Unit2.h"
#include "Unit3.h"
#include "Unit4.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include <memory>

struct GuiFixture {
    FakePlatform* fake = nullptr;
    std::unique_ptr<TForm1> form1;
    std::unique_ptr<TForm3> form3;
    std::unique_ptr<TForm2> form2;
    std::unique_ptr<TForm4> form4;

    QTemporaryDir settingsFolder;

    void create()
    {
        auto platform = std::make_unique<FakePlatform>();
        fake = platform.get();
        fake->iniFolder = settingsFolder.path().toStdString();
        ombrix::setPlatform(std::move(platform));
        form1 = std::make_unique<TForm1>();
        form3 = std::make_unique<TForm3>();
        form2 = std::make_unique<TForm2>();
        form4 = std::make_unique<TForm4>();
    }

    void destroy()
    {
        form4.reset();
        form2.reset();
        form3.reset();
        form1.reset();
    }
};

// While it lives, closes the first modal window that opens: OK on a message box, Cancel on
// any other dialog. `seen` then holds its class name, title and (for a message) text.
// Whether the test runs under Wine rather than on Windows itself (or on another system).
inline bool runningUnderWine()
{
#ifdef Q_OS_WIN
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

class ModalAnswerer
{
public:
    ModalAnswerer()
    {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal) {
                return;
            }
            timer_.stop();
            seen =
              QString::fromLatin1(modal->metaObject()->className()) + u'|' + modal->windowTitle();
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                seen += u'|' + box->text();
                box->button(QMessageBox::Ok)->click();
            } else if (auto* dialog = qobject_cast<QDialog*>(modal)) {
                dialog->reject();
            }
        });
        timer_.start(10);
    }

    QString seen;

private:
    QTimer timer_;
};
