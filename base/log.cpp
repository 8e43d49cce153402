#include "log.h"

#include <QString>
#include <ctime>
#include <iostream>

namespace
{
bool debugLines = false;
} // namespace

const char* logLevelName(int level)
{
    switch (level) {
    case INFO:
        return "INFO";
    case WARN:
        return "WARN";
    case ERROR:
        return "ERROR";
    case DEBUG:
        return "DEBUG";
    default:
        return "UNKNOWN";
    }
}

Logger::Logger(LogLevel level) : level(level), stream(std::ios_base::out)
{
    char stamp[64] = {};
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    stream << stamp << " [" << logLevelName(level) << "] ";
}

Logger::~Logger()
{
    if (level == DEBUG && !debugLines)
        return;
    std::cout << stream.str() << '\n';
    std::cout.flush();
}

Logger& Logger::operator<<(const QString& text)
{
    stream << text.toUtf8().toStdString();
    return *this;
}

bool log_init()
{
    return true;
}

void setLogDebug(bool on)
{
    debugLines = on;
}

bool logDebug()
{
    return debugLines;
}
