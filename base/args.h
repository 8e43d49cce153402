#pragma once

#include <string>

struct AppArgs {
    char host[24];
    char port[8];
    char name[64];
    char key[24];
};

// Outcome of reading a command line, without side effects other than the record.
struct ParseResult {
    enum Status { Ok, Usage, MissingHostOrPort, TooLong };
    Status status = Usage;
    std::string tooLongOption; // long name of the option whose value did not fit
    size_t tooLongLimit = 0;   // characters that option can hold
};

// Fills `out` from the arguments (after Qt removed its own). Pure apart from getopt's diagnostics on stderr.
ParseResult parse_args(int argc, char** argv, AppArgs& out);

// Fills g_args; returns only with a host and a port, otherwise prints the usage text and exits with 1.
void parse_cmd(int argc, char** argv);
AppArgs* get_args();
void print_usage();
