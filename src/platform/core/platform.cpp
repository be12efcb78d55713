#include "platform.h"

#include <atomic>

namespace ombrix
{

namespace
{
std::atomic<LogSink> g_logSink{ nullptr };
} // namespace

void setLogSink(LogSink sink)
{
    g_logSink = sink;
}

void logFallback(LogArea area, const std::string& text)
{
    if (const LogSink sink = g_logSink) {
        sink(area, text);
    }
}

} // namespace ombrix
