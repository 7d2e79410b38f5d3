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

int Usage() {
    const char* lead = "usage: ";
    for (const Command* c : Commands()) {
        for (const char* line = c->usage; *line;) {
            const char* end = std::strchr(line, '\n');
            const int n = static_cast<int>(end ? end - line : std::strlen(line));
            std::fprintf(stderr, "%sferoxhost %.*s\n", lead, n, line);
            lead = "       ";
            line += n + (end ? 1 : 0);
        }
    }
    return kExitUsage;
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

bool CreateDriver(const std::wstring& requested, DriverRef& ref, std::string* name) {
    const auto drivers = InstalledDrivers();
    if (drivers.empty()) {
        Error("no ASIO drivers are installed; register one with regsvr32 (see 'feroxhost list')");
        return false;
    }
    const InstalledDriver* d = nullptr;
    if (!requested.empty()) {
        d = FindDriver(drivers, requested);
        if (!d) {
            Error("no ASIO driver named '%s' is installed; see 'feroxhost list'",
                  Narrow(requested).c_str());
            return false;
        }
    } else {
        d = FindDriver(drivers, kDefaultDriver);
        if (!d && drivers.size() == 1)
            d = &drivers[0];
        if (!d) {
            Error("several ASIO drivers are installed; choose one by name (see 'feroxhost list')");
            return false;
        }
    }
    *name = Narrow(d->key);
    if (!d->clsidValid) {
        Error("driver '%s' has no valid CLSID in the registry ('%s')", name->c_str(),
              Narrow(d->clsidText).c_str());
        return false;
    }
    // Hosts ask for the driver's interface under its own class identifier.
    const HRESULT hr = CoCreateInstance(d->clsid, nullptr, CLSCTX_INPROC_SERVER, d->clsid,
                                        reinterpret_cast<void**>(&ref.asio));
    if (FAILED(hr) || !ref.asio) {
        const char* why = hr == REGDB_E_CLASSNOTREG ? "its class is not registered"
                          : hr == HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) ||
                                  hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
                              ? "its DLL cannot be found or loaded"
                              : "COM activation failed";
        Error("cannot create driver '%s': %s (0x%08lX; DLL %s)", name->c_str(), why,
              static_cast<unsigned long>(hr),
              d->dllPath.empty() ? "not registered" : Narrow(d->dllPath).c_str());
        ref.asio = nullptr;
        return false;
    }
    return true;
}

bool Init(IASIO* asio, const std::string& name) {
    if (asio->init(GetConsoleWindow()) == ASIOTrue)
        return true;
    char text[128] = {};
    asio->getErrorMessage(text);
    Error("driver '%s' did not initialise: %s", name.c_str(), text[0] ? text : "(no message)");
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
}

}  // namespace ferox::host
