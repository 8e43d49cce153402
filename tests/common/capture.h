#pragma once

#include <QDir>
#include <iostream>
#include <sstream>

// Collects what is written to std::cout while it lives.
class CoutCapture
{
public:
    CoutCapture() : previous(std::cout.rdbuf(buffer.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(previous); }
    std::string text() const { return buffer.str(); }

private:
    std::ostringstream buffer;
    std::streambuf* previous;
};
// Descriptors open in this process: a leak shows as growth.
inline const auto openDescriptorCount = [] { return int(QDir("/proc/self/fd").count()); };
// What this process's descriptors refer to ("socket:[123]", a path, ...), each once per descriptor.
inline QStringList openDescriptors()
{
    QStringList open;
    for (const QFileInfo& fd : QDir("/proc/self/fd").entryInfoList(QDir::System | QDir::NoDotAndDotDot))
        open << fd.symLinkTarget();
    open.sort();
    return open;
}
// What is open now and was not in `before`: a descriptor that closed meanwhile hides no leak.
inline QStringList descriptorsLeftSince(QStringList before)
{
    QStringList left;
    for (const QString& fd : openDescriptors())
        if (!before.removeOne(fd))
            left << fd;
    return left;
}
