#pragma once

#include <string>

// Reads the password kept in a file: its first line, without the line end. Returns false, with
// `error` saying why in words, when the file cannot be read or its first line is empty.
bool readPasswordFile(const char* path, std::string& password, std::string& error);
