#include "Log.h"

#include "platform.h"

// Quiet by default: only critical messages, which the program does not write.
Q_LOGGING_CATEGORY(lcPlatform, "ombrix.platform", QtCriticalMsg)
Q_LOGGING_CATEGORY(lcCapture, "ombrix.capture", QtCriticalMsg)
Q_LOGGING_CATEGORY(lcKeys, "ombrix.keys", QtCriticalMsg)
Q_LOGGING_CATEGORY(lcSettings, "ombrix.settings", QtCriticalMsg)

namespace
{

// Fallbacks are information: the program goes on as well as it can.
void toCategory(ombrix::LogArea area, const std::string& text)
{
    const QLoggingCategory& category = area == ombrix::LogArea::Keys ? lcKeys() : lcCapture();
    qCInfo(category).noquote() << QString::fromStdString(text);
}

} // namespace

void installPlatformLog()
{
    ombrix::setLogSink(&toCategory);
}
