#include "args.h"

#include "log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <iostream>

namespace
{

AppArgs g_args;

const char kUsage[] = "spice-client: A spice client\n"
                      "Usage: spice-client [options]...\n"
                      "  -h, --host\n"
                      "      Set address of spice server\n"
                      "  -p, --port\n"
                      "      Set port of spice server\n"
                      "  -n, --name\n"
                      "      Set title of spiceviewer window\n"
                      "  -k, --key\n"
                      "      Set Key and send to spice server\n"
                      "  -e, --help\n"
                      "      Print help and exit\n";

const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'e'},       {"host", required_argument, nullptr, 'h'},
    {"port", required_argument, nullptr, 'p'}, {"name", required_argument, nullptr, 'n'},
    {"key", required_argument, nullptr, 'k'},  {nullptr, 0, nullptr, 0},
};

// Copies `value` into a fixed field; false when it does not fit with its terminator.
template <size_t N> bool storeField(char (&field)[N], const char* value)
{
    size_t length = std::strlen(value);
    if (length >= N)
        return false;
    std::memset(field, 0, N);
    std::memcpy(field, value, length);
    return true;
}

} // namespace

void print_usage()
{
    std::cout << kUsage;
    std::cout.flush();
}

ParseResult parse_args(int argc, char** argv, AppArgs& out)
{
    ParseResult result;
    if (argc <= 1) {
        result.status = ParseResult::Usage;
        return result;
    }
    std::memset(&out, 0, sizeof out);
    optind = 0; // full re-initialisation, so the parser can run more than once
    int errors = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, "eh:p:n:k:", kLongOptions, nullptr)) != -1) {
        bool stored = true;
        const char* option = nullptr;
        size_t limit = 0;
        switch (opt) {
        case 'h':
            stored = storeField(out.host, optarg), option = "host", limit = sizeof out.host - 1;
            break;
        case 'p':
            stored = storeField(out.port, optarg), option = "port", limit = sizeof out.port - 1;
            break;
        case 'n':
            stored = storeField(out.name, optarg), option = "name", limit = sizeof out.name - 1;
            break;
        case 'k':
            stored = storeField(out.key, optarg), option = "key", limit = sizeof out.key - 1;
            break;
        case 'e':
            result.status = ParseResult::Usage;
            return result;
        default:
            ++errors;
            break;
        }
        if (!stored) {
            // A value cut to its field would silently address another host or send another key.
            result.status = ParseResult::TooLong;
            result.tooLongOption = option;
            result.tooLongLimit = limit;
            return result;
        }
    }
    if (errors > 0 || optind < argc) {
        result.status = ParseResult::Usage;
        return result;
    }
    result.status = (out.host[0] && out.port[0]) ? ParseResult::Ok : ParseResult::MissingHostOrPort;
    return result;
}

void parse_cmd(int argc, char** argv)
{
    ParseResult result = parse_args(argc, argv, g_args);
    switch (result.status) {
    case ParseResult::Ok:
        Logger(INFO) << "host: " << g_args.host << ", port: " << g_args.port << ", name: " << g_args.name
                     << ", key: " << g_args.key;
        return;
    case ParseResult::MissingHostOrPort:
        Logger(ERROR) << "No host or port found";
        break;
    case ParseResult::TooLong:
        Logger(ERROR) << "Value of option --" << result.tooLongOption << " is too long (at most "
                      << result.tooLongLimit << " characters)";
        break;
    case ParseResult::Usage:
        break;
    }
    print_usage();
    std::exit(1);
}

AppArgs* get_args()
{
    return &g_args;
}
