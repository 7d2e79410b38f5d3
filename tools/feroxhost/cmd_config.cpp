// config: this user's driver settings (HKEY_CURRENT_USER\Software\feroxasio).
#include <cstdlib>

#include "asio/settings.h"
#include "commands.h"

namespace ferox::host {
namespace {

constexpr char kKeyText[] = "HKEY_CURRENT_USER\\Software\\feroxasio";

void PrintMarginSetting() {
    // "(default)" only when none is stored: a stored 10 stays 10 if the default changes.
    DWORD type = 0, value = 0, size = sizeof value;
    const LONG rc = RegGetValueW(HKEY_CURRENT_USER, ferox::kSettingsKey, ferox::kMarginValue,
                                 RRF_RT_ANY, &type, &value, &size);
    const AsioLong ms = ferox::UserMargin();
    if (ms == ferox::kMinimalMargin)
        std::printf("margin        minimal (one write)");
    else
        std::printf("margin        %ld ms", static_cast<long>(ms));
    std::printf("%s\n", rc == ERROR_FILE_NOT_FOUND ? " (default)" : "");
    // The driver takes the default for a value that is not a choice: say so, or a hand-edited
    // value would seem to be in use.
    if (rc == ERROR_FILE_NOT_FOUND)
        return;
    if (rc != ERROR_SUCCESS || type != REG_DWORD) {
        std::printf("              (the stored Margin is not a number and is ignored)\n");
    } else if (!ferox::IsMarginChoice(static_cast<AsioLong>(value))) {
        std::printf(
            "              (the stored Margin %lu is not one of the choices and is ignored)\n",
            static_cast<unsigned long>(value));
    }
}

int Show() {
    std::printf("settings of this user (%s)\n", kKeyText);
    PrintBufferSetting();
    PrintMarginSetting();
    return 0;
}

enum class Setting { Buffer, Margin, All };

int Changed(Setting what) {
    if (what != Setting::Margin)
        PrintBufferSetting();
    if (what != Setting::Buffer)
        PrintMarginSetting();
    if (what != Setting::Margin) {
        std::printf(
            "hosts that are playing are asked to start again with %s; others see it the next time "
            "they load the driver\n",
            what == Setting::All ? "the buffer size" : "it");
    }
    if (what != Setting::Buffer)
        std::printf("a host takes the margin the next time it starts playing\n");
    return 0;
}

// Removes one setting, or every setting of this user: the driver's defaults.
int Reset(Setting what) {
    LONG rc = ERROR_SUCCESS;
    if (what == Setting::All)
        rc = RegDeleteTreeW(HKEY_CURRENT_USER, ferox::kSettingsKey);
    else
        rc = RegDeleteKeyValueW(
            HKEY_CURRENT_USER, ferox::kSettingsKey,
            what == Setting::Buffer ? ferox::kBufferSizeValue : ferox::kMarginValue);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
        return Error("cannot change %s (error %ld)", kKeyText, rc);
    if (what == Setting::All)
        std::printf("removed %s: every setting is back to the default\n", kKeyText);
    return Changed(what);
}

int Stored(LONG rc, Setting what) {
    if (rc != ERROR_SUCCESS)
        return Error("cannot write %s (error %ld)", kKeyText, rc);
    return Changed(what);
}

// N as a whole number; false for anything else.
bool Number(const std::string& text, long* n) {
    char* end = nullptr;
    *n = std::strtol(text.c_str(), &end, 10);
    return end != text.c_str() && !*end;
}

int Buffer(const std::string& value) {
    if (value == "default")
        return Reset(Setting::Buffer);
    long n = 0;
    if (!Number(value, &n) || !ferox::IsBufferSizeChoice(static_cast<AsioLong>(n))) {
        return UsageError(&kConfigCommand,
                          "the buffer size must be one of 64, 128, 256, 512, 1024 or 2048 "
                          "(not '%s')",
                          value.c_str());
    }
    return Stored(ferox::SetUserBufferSize(static_cast<AsioLong>(n)), Setting::Buffer);
}

int Margin(const std::string& value) {
    if (value == "default")
        return Reset(Setting::Margin);
    long n = ferox::kMinimalMargin;
    if (value != "minimal" &&
        (!Number(value, &n) || !ferox::IsMarginChoice(static_cast<AsioLong>(n)))) {
        return UsageError(&kConfigCommand,
                          "the margin must be minimal, 5, 10, 20 or 40 milliseconds (not '%s')",
                          value.c_str());
    }
    return Stored(ferox::SetUserMargin(static_cast<AsioLong>(n)), Setting::Margin);
}

int Config(const Args& all) {
    const std::vector<std::string>& args = all.rest;
    if (args.empty())
        return Show();
    if (args[0] == "reset") {
        if (args.size() > 1)
            return UsageError(&kConfigCommand, "'config reset' takes nothing after it");
        return Reset(Setting::All);
    }
    if (args[0] != "buffer" && args[0] != "margin")
        return UsageError(&kConfigCommand, "unknown setting '%s'", args[0].c_str());
    const bool buffer = args[0] == "buffer";
    if (args.size() != 2) {
        if (args.size() > 2)
            return UsageError(&kConfigCommand, "'config %s' takes one value", args[0].c_str());
        return UsageError(&kConfigCommand, buffer ? "'config buffer' needs N or default"
                                                  : "'config margin' needs N, minimal or default");
    }
    return buffer ? Buffer(args[1]) : Margin(args[1]);
}

}  // namespace

const Command kConfigCommand{
    "config",
    "config                           (this user's driver settings)\n"
    "config buffer N|default          (N: 64, 128, 256, 512, 1024 or 2048; default 1024)\n"
    "config margin N|minimal|default  (audio kept queued at the DAC, N: 5, 10, 20 or 40 ms; "
    "default 10)\n"
    "config reset                     (removes this user's settings)",
    0,
    0,
    SIZE_MAX,
    &Config};

}  // namespace ferox::host
