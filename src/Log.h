#pragma once
// The program's log: one category per part, quiet unless switched on with the usual
// QT_LOGGING_RULES (for example QT_LOGGING_RULES="ombrix.*=true"). Fallbacks are logged as
// information, failures as warnings; the user is told of failures by the error box anyway.

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcPlatform) // ombrix.platform
Q_DECLARE_LOGGING_CATEGORY(lcCapture)  // ombrix.capture
Q_DECLARE_LOGGING_CATEGORY(lcKeys)     // ombrix.keys
Q_DECLARE_LOGGING_CATEGORY(lcSettings) // ombrix.settings

// Sends the platform layer's notes to these categories.
void installPlatformLog();
