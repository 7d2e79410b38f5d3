// What the doctor's checks share: the verdict they add to, and the registry part, which reads
// the registration and the ASIO list in every registry view.
#pragma once

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "commands.h"

namespace ferox::host::doctor {

using json = nlohmann::ordered_json;

inline constexpr int kOwnBits = static_cast<int>(sizeof(void*) * 8);

// ---- the checks and their verdict

class Checks {
  public:
    void Ok(const std::string& area, const std::string& text) { Add("ok", area, text, ""); }
    void Warn(const std::string& area, const std::string& text, const std::string& action) {
        Add("warn", area, text, action);
        m_worst = std::max(m_worst, 1);
    }
    void Fail(const std::string& area, const std::string& text, const std::string& action) {
        Add("FAIL", area, text, action);
        m_worst = 2;
    }
    int ExitCode() const { return m_worst; }
    const json& List() const { return m_list; }

  private:
    void Add(const char* status, const std::string& area, const std::string& text,
             const std::string& action) {
        std::printf("%-5s %s\n", status, text.c_str());
        if (!action.empty())
            std::printf("      what to do: %s\n", action.c_str());
        json c{{"status", status}, {"area", area}, {"text", text}};
        if (!action.empty())
            c["action"] = action;
        m_list.push_back(c);
    }
    int m_worst = 0;
    json m_list = json::array();
};

inline std::string Format(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// The registration and the list, in each view, into the report; our DLL in this process's view,
// or empty when there is none a host could use.
std::wstring CheckRegistry(Checks& checks, json& report);

}  // namespace ferox::host::doctor
