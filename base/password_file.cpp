#include "password_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string.h>

bool readPasswordFile(const char* path, std::string& password, std::string& error)
{
    password.clear();
    FILE* file = std::fopen(path, "re");
    if (!file) {
        error = std::string("Cannot read the password file ") + path + ": " + std::strerror(errno);
        return false;
    }
    char* line = nullptr;
    size_t capacity = 0;
    errno = 0;
    ssize_t length = getline(&line, &capacity, file);
    const int readError = std::ferror(file) ? errno : 0;
    std::fclose(file);
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
        --length;
    if (length > 0)
        password.assign(line, size_t(length));
    if (line) {
        // The buffer held the password; it should not linger in freed memory.
        explicit_bzero(line, capacity);
        std::free(line);
    }
    if (readError) {
        error = std::string("Cannot read the password file ") + path + ": " + std::strerror(readError);
        return false;
    }
    if (password.empty()) {
        error = std::string("The password file ") + path + " holds no password: its first line is empty";
        return false;
    }
    return true;
}
