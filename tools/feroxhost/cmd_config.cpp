// config: this user's driver settings (HKEY_CURRENT_USER\Software\feroxasio).
#include <cstdlib>

#include "asio/settings.h"
#include "commands.h"

namespace ferox::host {
namespace {

constexpr char kKeyText[] = "HKEY_CURRENT_USER\\Software\\feroxasio";

int Show() {
    std::printf("settings of this user (%s)\n", kKeyText);
    PrintBufferSetting();
    return 0;
}

int Changed() {
    PrintBufferSetting();
    std::printf(
        "hosts that are playing are asked to start again with it; others see it the next time they "
        "load the driver\n");
    return 0;
}

// Removes the buffer size (`whole` false) or every setting of this user: the driver's defaults.
int Reset(bool whole) {
    const LONG rc =
        whole ? RegDeleteTreeW(HKEY_CURRENT_USER, ferox::kSettingsKey)
              : RegDeleteKeyValueW(HKEY_CURRENT_USER, ferox::kSettingsKey, ferox::kBufferSizeValue);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
        return Error("cannot change %s (error %ld)", kKeyText, rc);
    if (whole)
        std::printf("removed %s: every setting is back to the default\n", kKeyText);
    return Changed();
}

int Config(const Args& all) {
    const std::vector<std::string>& args = all.rest;
    if (args.empty())
        return Show();
    if (args[0] == "reset") {
        if (args.size() > 1)
            return UsageError(&kConfigCommand, "'config reset' takes nothing after it");
        return Reset(true);
    }
    if (args[0] != "buffer")
        return UsageError(&kConfigCommand, "unknown setting '%s'", args[0].c_str());
    if (args.size() != 2) {
        return UsageError(&kConfigCommand, args.size() < 2 ? "'config buffer' needs N or default"
                                                           : "'config buffer' takes one value");
    }
    if (args[1] == "default")
        return Reset(false);
    char* end = nullptr;
    const long n = std::strtol(args[1].c_str(), &end, 10);
    if (end == args[1].c_str() || *end || !ferox::IsBufferSizeChoice(static_cast<AsioLong>(n))) {
        return UsageError(&kConfigCommand,
                          "the buffer size must be one of 64, 128, 256, 512, 1024 or 2048 "
                          "(not '%s')",
                          args[1].c_str());
    }
    const LONG rc = ferox::SetUserBufferSize(static_cast<AsioLong>(n));
    if (rc != ERROR_SUCCESS)
        return Error("cannot write %s (error %ld)", kKeyText, rc);
    return Changed();
}

}  // namespace

const Command kConfigCommand{
    "config",
    "config                         (this user's driver settings)\n"
    "config buffer N|default        (N: 64, 128, 256, 512, 1024 or 2048; default 1024)\n"
    "config reset                   (removes this user's settings)",
    0,
    0,
    SIZE_MAX,
    &Config};

}  // namespace ferox::host
