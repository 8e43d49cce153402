#pragma once

#include <QString>
#include <QStringList>
#include <iostream>
#include <sstream>

// Collects what is written to std::cout while it lives.
class CoutCapture
{
public:
    CoutCapture() : previous(std::cout.rdbuf(buffer.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(previous); }
    CoutCapture(const CoutCapture&) = delete;
    CoutCapture& operator=(const CoutCapture&) = delete;

    std::string text() const { return buffer.str(); }
    // The log lines with their 19-character timestamp and the following blank removed: "[INFO] message".
    QStringList lines() const
    {
        QStringList result;
        for (const QString& line : QString::fromStdString(buffer.str()).split('\n', Qt::SkipEmptyParts))
            result << (line.size() > 20 ? line.mid(20) : line);
        return result;
    }

    // The messages of the ERROR lines; any other line comes back whole, so that comparisons with
    // the expected errors fail.
    QStringList errors() const
    {
        QStringList result;
        for (const QString& line : lines())
            result << (line.startsWith("[ERROR] ") ? line.mid(8) : QStringLiteral("unparsed: ") + line);
        return result;
    }

private:
    std::ostringstream buffer;
    std::streambuf* previous;
};
