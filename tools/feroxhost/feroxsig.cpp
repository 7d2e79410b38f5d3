// Test signals and capture checks for the demo and the host-level tests:
//   feroxsig wav FILE SECONDS [RATE [BITS]]   stereo integer PCM (default 44100 Hz, 32 bits)
//   feroxsig dsf FILE SECONDS [RATE]          stereo DSD (default 2822400, DSD64)
//   feroxsig dff FILE SECONDS [RATE]
//   feroxsig info FILE
//   feroxsig compare INPUT CAPTURE            exit 0 when the capture holds the input bit for bit
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "audio_files.h"

using namespace ferox::host;

namespace {

constexpr char kUsage[] =
    "usage: feroxsig wav FILE SECONDS [RATE [BITS]]   (default 44100 Hz, 32 bits)\n"
    "       feroxsig dsf|dff FILE SECONDS [RATE]      (default 2822400 Hz, DSD64)\n"
    "       feroxsig info FILE\n"
    "       feroxsig compare INPUT CAPTURE            (exit 0 when identical bit for bit)\n";

// What was wrong, then the usage.
int Usage(const char* why, const std::string& detail = {}) {
    std::fprintf(stderr, "feroxsig: %s%s\n%s", why, detail.c_str(), kUsage);
    return 2;
}

int Help() {
    std::printf(
        "feroxsig: test signals (997 Hz left, 1499 Hz right, -6 dBFS) and capture checks.\n\n%s",
        kUsage);
    return 0;
}

bool Write(const std::string& path, const Bytes& bytes) {
    std::FILE* f = OpenFile(path, "wb");
    if (!f) {
        std::fprintf(stderr, "feroxsig: cannot write '%s'\n", path.c_str());
        return false;
    }
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

bool OpenFile(const char* path, FileSource& file, AudioReader& reader) {
    std::string why;
    if (!file.Open(path, &why)) {
        std::fprintf(stderr, "feroxsig: cannot open '%s': %s\n", path, why.c_str());
        return false;
    }
    const AudioStatus s = reader.Open(file);
    if (!s.ok()) {
        std::fprintf(stderr, "feroxsig: '%s': %s: %s\n", path, ErrorName(s.error),
                     s.message.c_str());
        return false;
    }
    return true;
}

// The samples are built in memory several times over, in a 32-bit process too.
constexpr double kMaxDataBytes = 256.0 * 1024 * 1024;

// strtod alone takes "nan", "inf" and trailing junk; a length must be a plain positive number.
bool ParseSeconds(const char* text, double* seconds) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (end == text || *end != 0 || errno == ERANGE || !std::isfinite(v) || !(v > 0)) {
        std::fprintf(stderr, "feroxsig: SECONDS must be a finite number above 0, not '%s'\n", text);
        return false;
    }
    *seconds = v;
    return true;
}

// Decimal digits only: strtoul would take "-1" as the largest rate there is.
bool ParseRate(const char* text, unsigned long* rate) {
    unsigned long long v = 0;
    const char* p = text;
    for (; *p >= '0' && *p <= '9' && v <= 0xFFFFFFFFull; ++p)
        v = v * 10 + static_cast<unsigned>(*p - '0');
    // WAV, DSF and DFF store the rate as a 32-bit value.
    if (p == text || *p != 0 || v == 0 || v > 0xFFFFFFFFull) {
        std::fprintf(stderr, "feroxsig: RATE must be a whole number of Hz above 0, not '%s'\n",
                     text);
        return false;
    }
    *rate = static_cast<unsigned long>(v);
    return true;
}

// The arguments are UTF-8 on every system.
int Run(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h" || arg == "/?")
            return Help();
        if (arg == "--version") {
            std::printf("feroxsig %s (feroxasio release %s)\n", FEROX_RELEASE, FEROX_RELEASE);
            return 0;
        }
    }
    if (argc < 2)
        return Usage("no command given");
    const std::string cmd = argv[1];
    if (cmd != "wav" && cmd != "dsf" && cmd != "dff" && cmd != "info" && cmd != "compare")
        return Usage("unknown command ", "'" + cmd + "'");
    const int most = cmd == "wav" ? 6 : cmd == "info" ? 3 : cmd == "compare" ? 4 : 5;
    const int least = cmd == "info" ? 3 : 4;
    if (argc < least)
        return Usage("missing arguments for ", "'" + cmd + "'");
    if (argc > most)
        return Usage("too many arguments for ",
                     "'" + cmd + "': '" + argv[most] + "' is one too many");
    if (cmd == "wav" || cmd == "dsf" || cmd == "dff") {
        const bool dsd = cmd != "wav";
        double seconds = 0;
        if (!ParseSeconds(argv[3], &seconds))
            return 2;
        unsigned long rate = dsd ? 2822400ul : 44100ul;
        if (argc > 4 && !ParseRate(argv[4], &rate))
            return 2;
        const std::string bitsText = argc > 5 ? argv[5] : "32";
        if (bitsText != "16" && bitsText != "24" && bitsText != "32") {
            std::fprintf(stderr, "feroxsig: BITS must be 16, 24 or 32, not '%s'\n",
                         bitsText.c_str());
            return 2;
        }
        const int bits = std::atoi(bitsText.c_str());
        const double bytesPerFrame = dsd ? 2.0 / 8 : 2.0 * bits / 8;
        if (seconds * static_cast<double>(rate) * bytesPerFrame > kMaxDataBytes) {
            std::fprintf(stderr, "feroxsig: %s s at %lu Hz makes more than 256 MiB of samples\n",
                         argv[3], rate);
            return 2;
        }
        if (seconds * static_cast<double>(rate) < (dsd ? 8 : 1)) {
            std::fprintf(stderr, "feroxsig: %s s at %lu Hz is not one whole %s\n", argv[3], rate,
                         dsd ? "byte of samples" : "frame");
            return 2;
        }
        const auto frames = static_cast<std::size_t>(seconds * static_cast<double>(rate));
        Bytes out;
        if (!dsd) {
            std::vector<std::int32_t> l(frames), r(frames), both;
            PcmTone(static_cast<std::uint32_t>(rate)).Next(l.data(), r.data(), frames);
            both.reserve(2 * frames);
            for (std::size_t i = 0; i < frames; ++i) {
                both.push_back(l[i]);
                both.push_back(r[i]);
            }
            out = MakeWav(static_cast<std::uint32_t>(rate), 2, static_cast<std::uint16_t>(bits),
                          both);
        } else {
            const std::size_t bytes = frames / 8;
            std::vector<Bytes> ch(2, Bytes(bytes));
            DsdTone(static_cast<std::uint32_t>(rate)).Next(ch[0].data(), ch[1].data(), bytes);
            out = cmd == "dsf" ? MakeDsf(static_cast<std::uint32_t>(rate), ch, bytes * 8)
                               : MakeDff(static_cast<std::uint32_t>(rate), ch);
        }
        return Write(argv[2], out) ? 0 : 1;
    }
    if (cmd == "info") {
        FileSource file;
        AudioReader reader;
        if (!OpenFile(argv[2], file, reader))
            return 1;
        const AudioInfo& i = reader.Info();
        std::printf("%s %s %u Hz %u ch %u bits %llu frames %.3f s\n", ContainerName(i.container),
                    i.encoding == Encoding::Pcm ? "PCM" : "DSD", i.sampleRate, i.channels,
                    i.bitsPerSample, static_cast<unsigned long long>(i.frames), i.Seconds());
        return 0;
    }
    if (cmd == "compare") {
        FileSource a, b;
        AudioReader input, capture;
        if (!OpenFile(argv[2], a, input) || !OpenFile(argv[3], b, capture))
            return 2;
        const CompareResult r = CompareCapture(input, capture);
        std::printf("%s: %s\n", r.same ? "identical" : "DIFFERENT", r.message.c_str());
        return r.same ? 0 : 1;
    }
    return 2;  // not reached: every command is handled above
}

}  // namespace

#ifdef _WIN32
#include <windows.h>

// Wide arguments, passed on as UTF-8: a file named in any script is found.
int wmain(int argc, wchar_t** argv) {
    try {
        std::vector<std::string> utf8;
        for (int i = 0; i < argc; ++i) {
            const int n =
                WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
            std::string a(n > 0 ? static_cast<std::size_t>(n) : 1, '\0');
            WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, a.data(), n, nullptr, nullptr);
            a.resize(std::strlen(a.c_str()));
            utf8.push_back(std::move(a));
        }
        std::vector<char*> args;
        for (std::string& a : utf8)
            args.push_back(a.data());
        SetConsoleOutputCP(CP_UTF8);
        return Run(argc, args.data());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "feroxsig: out of memory\n");
        return 1;
    }
}
#else
int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "feroxsig: out of memory\n");
        return 1;
    }
}
#endif
