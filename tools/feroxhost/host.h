// feroxhost's shared core: a command's arguments, messages, and creating and initialising a
// driver as hosts do.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "asio/asio.h"
#include "driver_list.h"

namespace ferox::host {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;
constexpr wchar_t kDefaultDriver[] = L"ASIO ferox Driver";
constexpr std::uint32_t kDsd64 = 2822400;

// The options a command may take, as bits.
enum Option : unsigned {
    kOptionDriver = 1,
    kOptionDsd = 2,
    kOptionRate = 4,
    kOptionReport = 8,
    kOptionSeconds = 16,
};

struct Args {
    std::wstring driver;            // --driver NAME
    bool dsd = false;               // --dsd
    unsigned long rate = 0;         // --rate HZ
    std::string report;             // --report FILE
    unsigned long seconds = 3;      // --seconds N
    unsigned given = 0;             // the options given (Option bits)
    std::vector<std::string> rest;  // the other arguments, in order
};

struct Command {
    const char* name;
    const char* usage;  // its usage lines without "feroxhost ", separated by '\n'
    unsigned options;   // the Option bits it takes
    std::size_t minArgs;
    std::size_t maxArgs;  // of Args::rest
    int (*run)(const Args&);
};

// The usage of one command, or of all when `only` is null.
void PrintUsage(std::FILE* out, const Command* only = nullptr);
// Every command's usage on stderr; returns kExitUsage. A command says what was wrong first:
// UsageError below.
int Usage();

template <typename... A>
int Error(const char* format, A... args) {
    std::fprintf(stderr, "feroxhost: ");
    std::fprintf(stderr, format, args...);
    std::fprintf(stderr, "\n");
    return kExitFailure;
}

// A wrong command line: one line on what was wrong, then the usage of `command` (of all when
// null), to stderr.
template <typename... A>
int UsageError(const Command* command, const char* format, A... args) {
    std::fprintf(stderr, "feroxhost: ");
    std::fprintf(stderr, format, args...);
    std::fprintf(stderr, "\n");
    PrintUsage(stderr, command);
    if (command)
        std::fprintf(stderr, "(feroxhost --help lists every command)\n");
    return kExitUsage;
}

// What a person can do about a failure text the driver reports (getErrorMessage); null for a
// text it does not know.
const char* HintFor(const char* driverText);
// "feroxhost: driver 'NAME' WHAT: TEXT" and the hint for TEXT; returns kExitFailure.
int DriverFailure(const std::string& name, const char* what, const char* text);
// The hint line on its own.
void PrintHint(const char* hint);

const char* SampleTypeName(ASIOSampleType t);
const char* ErrorText(ASIOError e);

struct Com {
    Com() { ok = SUCCEEDED(CoInitialize(nullptr)); }
    ~Com() {
        if (ok)
            CoUninitialize();
    }
    bool ok;
};

struct DriverRef {
    IASIO* asio = nullptr;
    ~DriverRef() {
        if (asio)
            asio->Release();
    }
};

// Chooses the entry by name (or the default) and creates the driver; prints why not unless
// `quiet`.
bool CreateDriver(const std::wstring& requested, DriverRef& ref, std::string* name,
                  bool quiet = false);
// init(); prints the driver's own message when it refuses.
bool Init(IASIO* asio, const std::string& name);
bool SetIoFormat(IASIO* asio, ASIOIoFormatType type);
// The user's buffer size as the driver reads it.
void PrintBufferSetting();

}  // namespace ferox::host
