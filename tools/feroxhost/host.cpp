#include "host.h"

#include <cstring>

#include "asio/settings.h"
#include "commands.h"

namespace ferox::host {

std::span<const Command* const> Commands() {
    static const Command* const commands[] = {
#define FEROXHOST_ENTRY(Name) &k##Name##Command,
        FEROXHOST_COMMANDS(FEROXHOST_ENTRY)
#undef FEROXHOST_ENTRY
    };
    return commands;
}

void PrintUsage(std::FILE* out, const Command* only) {
    const char* lead = "usage: ";
    for (const Command* c : Commands()) {
        if (only && c != only)
            continue;
        for (const char* line = c->usage; *line;) {
            const char* end = std::strchr(line, '\n');
            const int n = static_cast<int>(end ? end - line : std::strlen(line));
            std::fprintf(out, "%sferoxhost %.*s\n", lead, n, line);
            lead = "       ";
            line += n + (end ? 1 : 0);
        }
    }
}

int Usage() {
    PrintUsage(stderr);
    return kExitUsage;
}

namespace {

struct Hint {
    const char* text;  // as the driver reports it
    const char* hint;
};

// The driver's failure texts and what to do about each; the README's table says the same.
constexpr Hint kHints[] = {
    {"ASIO Pellinor Driver Enum Failure!",
     "the DAC was not found: connect it by USB, switch it on, and check that Windows lists it "
     "under Sound (its own USB audio driver installed)"},
    {"ASIO Pellinor Driver Open Filter Failure!",
     "the DAC was found but could not be opened: unplug it, plug it back in, and try again"},
    {"ASIO Pellinor DAC in use by another program",
     "close the other program that plays to the DAC (or turn off its exclusive mode), then try "
     "again"},
    {"ASIO Pellinor No pins available for rendering",
     "the DAC did not take this stream: try another sample rate; if it persists, unplug and "
     "replug the DAC"},
    {"ASIO Pellinor Render Pin refused to run",
     "the DAC's own driver would not start the stream: unplug and replug the DAC, then try again"},
    {"ASIO Pellinor Device refused DSD mode",
     "this DAC (or its firmware) does not take native DSD: play PCM, or let the player convert "
     "DSD to PCM; a firmware update of the DAC may add it"},
    {"ASIO Pellinor Device refused PCM mode",
     "the DAC did not answer the switch to PCM: unplug and replug it, then try again"},
    {"ASIO Pellinor Could not start the stream",
     "Windows could not start the driver's streaming thread: close other programs and try again"},
    {"ASIO Pellinor Out of memory",
     "Windows had no memory to spare: close other programs and try again"},
};

}  // namespace

const char* HintFor(const char* driverText) {
    for (const Hint& h : kHints) {
        if (std::strcmp(h.text, driverText) == 0)
            return h.hint;
    }
    return nullptr;
}

void PrintHint(const char* hint) {
    if (hint)
        std::fprintf(stderr, "feroxhost: what to do: %s\n", hint);
}

int DriverFailure(const std::string& name, const char* what, const char* text) {
    Error("driver '%s' %s: %s", name.c_str(), what, text[0] ? text : "(no message)");
    PrintHint(HintFor(text));
    return kExitFailure;
}

const char* SampleTypeName(ASIOSampleType t) {
    switch (t) {
        case ASIOSTInt16LSB:
            return "Int16LSB";
        case ASIOSTInt24LSB:
            return "Int24LSB";
        case ASIOSTInt32LSB:
            return "Int32LSB";
        case ASIOSTFloat32LSB:
            return "Float32LSB";
        case ASIOSTFloat64LSB:
            return "Float64LSB";
        case ASIOSTInt32LSB24:
            return "Int32LSB24";
        case ASIOSTInt16MSB:
            return "Int16MSB";
        case ASIOSTInt32MSB:
            return "Int32MSB";
        case ASIOSTDSDInt8LSB1:
            return "DSDInt8LSB1";
        case ASIOSTDSDInt8MSB1:
            return "DSDInt8MSB1";
        case ASIOSTDSDInt8NER8:
            return "DSDInt8NER8";
        default:
            return "other";
    }
}

const char* ErrorText(ASIOError e) {
    switch (e) {
        case ASE_OK:
            return "ASE_OK";
        case ASE_SUCCESS:
            return "ASE_SUCCESS";
        case ASE_NotPresent:
            return "ASE_NotPresent";
        case ASE_HWMalfunction:
            return "ASE_HWMalfunction";
        case ASE_InvalidParameter:
            return "ASE_InvalidParameter";
        case ASE_InvalidMode:
            return "ASE_InvalidMode";
        case ASE_SPNotAdvancing:
            return "ASE_SPNotAdvancing";
        case ASE_NoClock:
            return "ASE_NoClock";
        case ASE_NoMemory:
            return "ASE_NoMemory";
        default:
            return "unknown result";
    }
}

bool CreateDriver(const std::wstring& requested, DriverRef& ref, std::string* name, bool quiet) {
    const auto drivers = InstalledDrivers();
    const int bits = static_cast<int>(sizeof(void*) * 8);
    if (drivers.empty()) {
        if (!quiet) {
            Error(
                "no ASIO drivers are installed in this %d-bit view; register one with regsvr32 "
                "(see 'feroxhost list')",
                bits);
            PrintHint(bits == 64 ? "a 32-bit driver is seen only by 32-bit programs: run the "
                                   "32-bit feroxhost, or install the 64-bit driver"
                                 : "a 64-bit driver is seen only by 64-bit programs: run the "
                                   "64-bit feroxhost, or install the 32-bit driver");
        }
        return false;
    }
    const InstalledDriver* d = nullptr;
    if (!requested.empty()) {
        d = FindDriver(drivers, requested);
        if (!d) {
            if (!quiet) {
                Error("no ASIO driver named '%s' is installed; see 'feroxhost list'",
                      Narrow(requested).c_str());
            }
            return false;
        }
    } else {
        d = FindDriver(drivers, kDefaultDriver);
        if (!d && drivers.size() == 1)
            d = &drivers[0];
        if (!d) {
            if (!quiet) {
                Error(
                    "several ASIO drivers are installed; choose one with --driver NAME (see "
                    "'feroxhost list')");
            }
            return false;
        }
    }
    *name = Narrow(d->key);
    if (!d->clsidValid) {
        if (!quiet) {
            Error("driver '%s' has no valid CLSID in the registry ('%s')", name->c_str(),
                  Narrow(d->clsidText).c_str());
            PrintHint("reinstall the driver");
        }
        return false;
    }
    // Hosts ask for the driver's interface under its own class identifier.
    const HRESULT hr = CoCreateInstance(d->clsid, nullptr, CLSCTX_INPROC_SERVER, d->clsid,
                                        reinterpret_cast<void**>(&ref.asio));
    if (FAILED(hr) || !ref.asio) {
        ref.asio = nullptr;
        if (quiet)
            return false;
        // A registered DLL that is gone fails in several ways (not found, access denied):
        // whether the file exists says more than the code.
        const bool missing = !d->dllPath.empty() && !d->dllExists;
        const char* why = missing                     ? "its DLL is missing"
                          : hr == REGDB_E_CLASSNOTREG ? "its class is not registered"
                          : hr == HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) ||
                                  hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
                              ? "its DLL cannot be found or loaded"
                              : "COM activation failed";
        Error("cannot create driver '%s': %s (0x%08lX; DLL %s)", name->c_str(), why,
              static_cast<unsigned long>(hr),
              d->dllPath.empty() ? "not registered" : Narrow(d->dllPath).c_str());
        PrintHint(missing || d->dllPath.empty()
                      ? "reinstall the driver: its registration points to a file that is not there"
                      : "reinstall the driver; a 32-bit driver loads only into 32-bit programs and "
                        "a 64-bit one only into 64-bit programs");
        return false;
    }
    return true;
}

bool Init(IASIO* asio, const std::string& name) {
    if (asio->init(GetConsoleWindow()) == ASIOTrue)
        return true;
    char text[128] = {};
    asio->getErrorMessage(text);
    DriverFailure(name, "did not initialise", text);
    return false;
}

bool SetIoFormat(IASIO* asio, ASIOIoFormatType type) {
    ASIOIoFormat format{};
    format.FormatType = type;
    if (asio->future(kAsioCanDoIoFormat, &format) != ASE_SUCCESS)
        return false;
    return asio->future(kAsioSetIoFormat, &format) == ASE_SUCCESS;
}

void PrintBufferSetting() {
    const AsioLong n = ferox::UserBufferSize();
    std::printf("buffer        %ld samples a half (DSD: %ld words, %ld DSD samples)%s\n",
                static_cast<long>(n), static_cast<long>(n), static_cast<long>(n) * 32,
                n == ferox::kDefaultBufferSize ? ", the default" : "");
    // The driver takes the default for a stored value that is not a choice: say so, or a
    // hand-edited value would seem to be in use.
    DWORD type = 0, value = 0, size = sizeof value;
    const LONG rc = RegGetValueW(HKEY_CURRENT_USER, ferox::kSettingsKey, ferox::kBufferSizeValue,
                                 RRF_RT_ANY, &type, &value, &size);
    if (rc == ERROR_FILE_NOT_FOUND)
        return;
    if (rc != ERROR_SUCCESS || type != REG_DWORD) {
        std::printf("              (the stored BufferSize is not a number and is ignored)\n");
    } else if (!ferox::IsBufferSizeChoice(static_cast<AsioLong>(value))) {
        std::printf(
            "              (the stored BufferSize %lu is not one of the choices and is "
            "ignored)\n",
            static_cast<unsigned long>(value));
    }
}

}  // namespace ferox::host
