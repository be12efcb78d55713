#include "Errors.h"

#include "Log.h"
#include "MessageBox.h"
#include "Rules.h"
#include "platform.h"

namespace
{

// What the user reads when the system let the program down.
QString failureMessage(ombrix::Failure failure)
{
    switch (failure) {
        case ombrix::Failure::NoDisplay:
            return QStringLiteral("X サーバーに接続できません");
        case ombrix::Failure::ScreenUnreadable:
            return QStringLiteral("画面の画像を読み取れません");
        case ombrix::Failure::ClipboardRefused:
            return QStringLiteral("クリップボードにコピーできません");
    }
    return QStringLiteral("不明なエラーが発生しました");
}

} // namespace

void showError(const QString& message)
{
    MessageBox::show(QMessageBox::Critical, QStringLiteral("エラー"), rules::withFullStop(message));
}

QString currentErrorMessage()
{
    try {
        throw;
    } catch (const OmbrixError& e) {
        return e.message();
    } catch (const ombrix::PlatformError& e) {
        qCWarning(lcPlatform).noquote() << e.what();
        return failureMessage(e.failure());
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("不明なエラーが発生しました");
    }
}

void showCurrentError()
{
    showError(currentErrorMessage());
}
