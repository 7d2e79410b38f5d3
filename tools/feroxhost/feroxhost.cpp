// feroxhost: a console ASIO host. Finds drivers as hosts do (the ASIO list in the registry,
// COM activation under the driver's class identifier), reports what a driver says about itself
// and plays WAV, DSF and DFF files or a test tone through it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands.h"

using namespace ferox::host;

namespace {

int Help() {
    std::printf("feroxhost: checks and plays through an ASIO driver, as a player would.\n\n");
    PrintUsage(stdout);
    std::printf(
        "\n"
        "NAME is a driver's entry as 'feroxhost list' shows it (default: \"ASIO ferox Driver\").\n"
        "The test tone is 997 Hz left and 1499 Hz right at -20 dBFS, 3 seconds by default.\n"
        "Exit codes: 0 done, 1 failed (the message says why), 2 wrong command line,\n"
        "130 stopped by Ctrl+C. feroxhost --version shows the release and the driver's name.\n");
    return 0;
}

// The release names the installer and its files; the driver tells hosts a name and version of
// its own, which stay fixed from release to release.
int Version() {
    std::printf("feroxhost %s (feroxasio release %s, %d-bit)\n", FEROX_RELEASE, FEROX_RELEASE,
                static_cast<int>(sizeof(void*) * 8));
    Com com;
    DriverRef ref;
    std::string name;
    if (CreateDriver(std::wstring(), ref, &name, true)) {
        char driverName[33] = {};
        ref.asio->getDriverName(driverName);
        std::printf("driver    %s, version %ld (entry '%s')\n", driverName,
                    static_cast<long>(ref.asio->getDriverVersion()), name.c_str());
    } else {
        std::printf("driver    not installed in this %d-bit view\n",
                    static_cast<int>(sizeof(void*) * 8));
    }
    std::printf(
        "The release number counts releases of the package; the driver's name and version are\n"
        "what it tells players through ASIO, and stay the same so players keep recognising it.\n");
    return 0;
}

bool IsHelp(const std::string& arg) {
    return arg == "--help" || arg == "-h" || arg == "/?" || arg == "help";
}

const Command* Find(const std::string& name) {
    for (const Command* c : Commands()) {
        if (name == c->name)
            return c;
    }
    return nullptr;
}

const char* OptionName(unsigned option) {
    switch (option) {
        case kOptionDriver:
            return "--driver";
        case kOptionDsd:
            return "--dsd";
        case kOptionRate:
            return "--rate";
        case kOptionReport:
            return "--report";
        default:
            return "--seconds";
    }
}

int Run(const std::vector<std::string>& argv) {
    if (argv.empty())
        return UsageError(nullptr, "no command given");
    for (const std::string& arg : argv) {
        if (IsHelp(arg))
            return Help();
    }
    if (argv[0] == "--version")
        return Version();
    const Command* command = Find(argv[0]);
    if (!command)
        return UsageError(nullptr, "unknown command '%s'", argv[0].c_str());
    Args args;
    for (std::size_t i = 1; i < argv.size(); ++i) {
        const std::string& arg = argv[i];
        unsigned option = 0;
        if (arg == "--driver") {
            if (++i >= argv.size())
                return UsageError(command, "--driver needs a NAME");
            args.driver = Widen(argv[i]);
            option = kOptionDriver;
        } else if (arg == "--dsd") {
            args.dsd = true;
            option = kOptionDsd;
        } else if (arg == "--rate") {
            char* end = nullptr;
            const char* text = ++i < argv.size() ? argv[i].c_str() : "";
            args.rate = std::strtoul(text, &end, 10);
            if (end == text || *end || args.rate < 8000 || args.rate > 50000000) {
                return UsageError(command,
                                  "--rate takes a sample rate in Hz from 8000 to 50000000, not "
                                  "'%s'",
                                  text);
            }
            option = kOptionRate;
        } else if (arg == "--report") {
            if (++i >= argv.size())
                return UsageError(command, "--report needs a FILE");
            args.report = argv[i];
            option = kOptionReport;
        } else if (arg == "--seconds") {
            char* end = nullptr;
            const char* text = ++i < argv.size() ? argv[i].c_str() : "";
            args.seconds = std::strtoul(text, &end, 10);
            if (end == text || *end || args.seconds > 60)
                return UsageError(command, "--seconds takes 0 to 60, not '%s'", text);
            option = kOptionSeconds;
        } else if (arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9')) {
            return UsageError(command, "unknown option '%s'", arg.c_str());
        } else {
            args.rest.push_back(arg);
        }
        if (option && !(command->options & option))
            return UsageError(command, "'%s' takes no %s", command->name, OptionName(option));
        args.given |= option;
    }
    if (args.rest.size() < command->minArgs)
        return UsageError(command, "'%s' is missing an argument", command->name);
    if (args.rest.size() > command->maxArgs) {
        return UsageError(command, "'%s' takes at most %zu argument%s; '%s' is one too many",
                          command->name, command->maxArgs, command->maxArgs == 1 ? "" : "s",
                          args.rest[command->maxArgs].c_str());
    }
    return command->run(args);
}

}  // namespace

// Wide arguments: a file named in any script reaches the command intact, as UTF-8.
int wmain(int argc, wchar_t** argv) {
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(Narrow(argv[i]));
    return Run(args);
}
