#include "Log.h"

#include "platform.h"

// Quiet by default: only critical messages, which the program does not write.
Q_LOGGING_CATEGORY(lcPlatform, "ombrix.platform", QtCriticalMsg)
Q_LOGGING_CATEGORY(lcCapture, "ombrix.capture", QtCriticalMsg)
Q_LOGGING_CATEGORY(lcKeys, "ombrix.keys", QtCriticalMsg)
Q_LOGGING_CATEGORY(lcSettings, "ombrix.settings", QtCriticalMsg)

namespace
{

const QLoggingCategory& categoryOf(ombrix::LogArea area)
{
    switch (area) {
        case ombrix::LogArea::Capture:
            return lcCapture();
        case ombrix::LogArea::Keys:
            return lcKeys();
        case ombrix::LogArea::Settings:
            return lcSettings();
        case ombrix::LogArea::Platform:
            break;
    }
    return lcPlatform();
}

void toCategory(ombrix::LogArea area, bool failure, const std::string& text)
{
    const QLoggingCategory& category = categoryOf(area);
    if (failure) {
        qCWarning(category).noquote() << QString::fromStdString(text);
    } else {
        qCInfo(category).noquote() << QString::fromStdString(text);
    }
}

} // namespace

void installPlatformLog()
{
    ombrix::setLogSink(&toCategory);
}
