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
