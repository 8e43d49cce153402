#pragma once

#include <cstdint>
#include <sstream>
#include <string>

class QString;

enum LogLevel : int32_t { INFO = 0, WARN = 1, ERROR = 2, DEBUG = 3 };

// One log line: the prefix is stamped at construction, the line is written to
// standard output (and flushed) when the object goes away. DEBUG lines are written only once
// setLogDebug(true) was called: they may name the user's files.
class Logger
{
public:
    explicit Logger(LogLevel level);
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    template <typename T> Logger& operator<<(const T& value)
    {
        stream << value;
        return *this;
    }
    Logger& operator<<(const QString& text);

    LogLevel level;
    std::ostringstream stream;
};

const char* logLevelName(int level);
bool log_init();
// Whether DEBUG lines are written (off until turned on, by --debug).
void setLogDebug(bool on);
bool logDebug();
