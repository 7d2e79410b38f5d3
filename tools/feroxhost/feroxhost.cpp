// feroxhost: a console ASIO host. Finds drivers as hosts do (the ASIO list in the registry,
// COM activation under the driver's class identifier), reports what a driver says about itself
// and plays WAV, DSF and DFF files or a test tone through it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "commands.h"

using namespace ferox::host;

int main(int argc, char** argv) {
    if (argc < 2)
        return Usage();
    const std::string cmd = argv[1];
    Args args;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--driver") {
            if (++i >= argc)
                return Usage();
            args.driver = Widen(argv[i]);
            args.given |= kOptionDriver;
        } else if (arg == "--dsd") {
            args.dsd = true;
            args.given |= kOptionDsd;
        } else if (arg == "--rate") {
            char* end = nullptr;
            args.rate = ++i < argc ? std::strtoul(argv[i], &end, 10) : 0;
            if (!end || *end || args.rate < 8000 || args.rate > 50000000) {
                std::fprintf(stderr, "feroxhost: --rate takes a sample rate in Hz\n");
                return kExitUsage;
            }
            args.given |= kOptionRate;
        } else if (arg == "--report") {
            if (++i >= argc)
                return Usage();
            args.report = argv[i];
            args.given |= kOptionReport;
        } else if (arg == "--seconds") {
            char* end = nullptr;
            args.seconds = ++i < argc ? std::strtoul(argv[i], &end, 10) : 0;
            if (!end || *end || args.seconds > 60) {
                std::fprintf(stderr, "feroxhost: --seconds takes 0 to 60\n");
                return kExitUsage;
            }
            args.given |= kOptionSeconds;
        } else if (arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9')) {
            std::fprintf(stderr, "feroxhost: unknown option '%s'\n", arg.c_str());
            return Usage();
        } else {
            args.rest.push_back(arg);
        }
    }
    for (const Command* c : Commands()) {
        if (cmd != c->name)
            continue;
        if ((args.given & ~c->options) || args.rest.size() < c->minArgs ||
            args.rest.size() > c->maxArgs)
            return Usage();
        return c->run(args);
    }
    return Usage();
}
