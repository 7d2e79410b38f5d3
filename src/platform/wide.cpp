#include "platform/wide.h"

#include <cstdint>
#include <type_traits>

namespace ferox {
namespace {

WCHAR FoldAscii(WCHAR c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<WCHAR>(c - u'A' + u'a') : c;
}

template <bool Fold>
int Compare(const WCHAR* a, const WCHAR* b) {
    if (a == nullptr || b == nullptr)
        return (a != nullptr) - (b != nullptr);
    for (;; ++a, ++b) {
        const unsigned x = Fold ? FoldAscii(*a) : *a;
        const unsigned y = Fold ? FoldAscii(*b) : *b;
        if (x != y)
            return x < y ? -1 : 1;
        if (x == 0)
            return 0;
    }
}

template <bool Fold>
bool StartsWith(const WCHAR* text, const WCHAR* prefix) {
    if (text == nullptr || prefix == nullptr)
        return false;
    for (; *prefix != 0; ++text, ++prefix) {
        if (*text == 0)
            return false;
        if (Fold ? FoldAscii(*text) != FoldAscii(*prefix) : *text != *prefix)
            return false;
    }
    return true;
}

// Collects output up to cap-1 characters and counts everything, as snprintf does.
class Sink {
  public:
    Sink(WCHAR* out, std::size_t cap) : out_(out), cap_(cap) {}

    void Put(WCHAR c) {
        if (cap_ != 0 && used_ < cap_ - 1)
            out_[used_++] = c;
        ++total_;
    }
    void Repeat(WCHAR c, int n) {
        for (; n > 0; --n)
            Put(c);
    }
    int Finish() {
        if (cap_ != 0)
            out_[used_] = 0;
        return total_ > static_cast<std::size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(total_);
    }

  private:
    WCHAR* out_;
    std::size_t cap_;
    std::size_t used_ = 0;
    std::size_t total_ = 0;
};

struct Spec {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    int width = 0;
    int precision = -1;  // none
};

void PutPadded(Sink& sink, const Spec& spec, int length, auto&& body) {
    if (!spec.left)
        sink.Repeat(u' ', spec.width - length);
    body();
    if (spec.left)
        sink.Repeat(u' ', spec.width - length);
}

template <typename Char>
void PutString(Sink& sink, const Spec& spec, const Char* text) {
    static constexpr char kNull[] = "(null)";
    if (text == nullptr) {
        // Print "(null)" through the narrow path, under the same width and precision.
        PutString<char>(sink, spec, kNull);
        return;
    }
    int length = 0;
    while (text[length] != 0 && (spec.precision < 0 || length < spec.precision))
        ++length;
    PutPadded(sink, spec, length, [&] {
        for (int i = 0; i < length; ++i) {
            sink.Put(static_cast<WCHAR>(static_cast<std::make_unsigned_t<Char>>(text[i])));
        }
    });
}

void PutInteger(Sink& sink, Spec spec, std::uint64_t magnitude, bool negative, bool isSigned,
                unsigned base, bool upper) {
    WCHAR digits[24];
    int count = 0;
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    for (std::uint64_t v = magnitude; v != 0; v /= base)
        digits[count++] = static_cast<WCHAR>(set[v % base]);
    // An explicit precision of 0 prints no digit for 0; otherwise 0 is one digit.
    if (magnitude == 0 && spec.precision != 0)
        digits[count++] = u'0';
    const int zeros = spec.precision > count ? spec.precision - count : 0;

    WCHAR prefix[2];
    int prefixLength = 0;
    if (isSigned) {
        if (negative) {
            prefix[prefixLength++] = u'-';
        } else if (spec.plus) {
            prefix[prefixLength++] = u'+';
        } else if (spec.space) {
            prefix[prefixLength++] = u' ';
        }
    } else if (spec.alternate && base == 16 && magnitude != 0) {
        prefix[prefixLength++] = u'0';
        prefix[prefixLength++] = upper ? u'X' : u'x';
    }

    const int length = prefixLength + zeros + count;
    // The 0 flag pads between prefix and digits; a precision or the - flag switches it off.
    const bool zeroPad = spec.zero && !spec.left && spec.precision < 0;
    const int fill = spec.width > length ? spec.width - length : 0;
    if (!spec.left && !zeroPad)
        sink.Repeat(u' ', fill);
    for (int i = 0; i < prefixLength; ++i)
        sink.Put(prefix[i]);
    if (zeroPad)
        sink.Repeat(u'0', fill);
    sink.Repeat(u'0', zeros);
    while (count > 0)
        sink.Put(digits[--count]);
    if (spec.left)
        sink.Repeat(u' ', fill);
}

enum class Length { kDefault, kShort, kChar, kLong, kLongLong, kSize };

}  // namespace

std::size_t WideLength(const WCHAR* text) noexcept {
    if (text == nullptr)
        return 0;
    std::size_t n = 0;
    while (text[n] != 0)
        ++n;
    return n;
}

std::size_t WideCopy(WCHAR* out, std::size_t cap, const WCHAR* source) noexcept {
    if (cap == 0)
        return 0;
    std::size_t n = 0;
    if (source != nullptr) {
        for (; n < cap - 1 && source[n] != 0; ++n)
            out[n] = source[n];
    }
    out[n] = 0;
    return n;
}

std::size_t WideCopyNarrow(WCHAR* out, std::size_t cap, const char* source) noexcept {
    if (cap == 0)
        return 0;
    std::size_t n = 0;
    if (source != nullptr) {
        for (; n < cap - 1 && source[n] != 0; ++n) {
            out[n] = static_cast<WCHAR>(static_cast<unsigned char>(source[n]));
        }
    }
    out[n] = 0;
    return n;
}

int WideCompare(const WCHAR* a, const WCHAR* b) noexcept {
    return Compare<false>(a, b);
}
int WideCompareNoCase(const WCHAR* a, const WCHAR* b) noexcept {
    return Compare<true>(a, b);
}
bool WideStartsWith(const WCHAR* text, const WCHAR* prefix) noexcept {
    return StartsWith<false>(text, prefix);
}
bool WideStartsWithNoCase(const WCHAR* text, const WCHAR* prefix) noexcept {
    return StartsWith<true>(text, prefix);
}

int FormatW(WCHAR* out, std::size_t cap, const WCHAR* format, ...) noexcept {
    std::va_list args;
    va_start(args, format);
    const int n = FormatWV(out, cap, format, args);
    va_end(args);
    return n;
}

int FormatWV(WCHAR* out, std::size_t cap, const WCHAR* format, std::va_list args) noexcept {
    Sink sink(out, cap);
    if (format == nullptr)
        return sink.Finish();
    // va_list may be an array type; work on a copy so it can be passed around by pointer.
    std::va_list ap;
    va_copy(ap, args);

    for (const WCHAR* p = format; *p != 0; ++p) {
        if (*p != u'%') {
            sink.Put(*p);
            continue;
        }
        const WCHAR* start = p++;
        Spec spec;
        for (;; ++p) {
            if (*p == u'-') {
                spec.left = true;
            } else if (*p == u'+') {
                spec.plus = true;
            } else if (*p == u' ') {
                spec.space = true;
            } else if (*p == u'#') {
                spec.alternate = true;
            } else if (*p == u'0') {
                spec.zero = true;
            } else {
                break;
            }
        }
        if (*p == u'*') {
            spec.width = va_arg(ap, int);
            if (spec.width < 0) {
                spec.left = true;
                spec.width = spec.width == INT32_MIN ? INT32_MAX : -spec.width;
            }
            ++p;
        } else {
            for (; *p >= u'0' && *p <= u'9'; ++p) {
                if (spec.width < 100000)
                    spec.width = spec.width * 10 + (*p - u'0');
            }
        }
        if (*p == u'.') {
            ++p;
            if (*p == u'*') {
                spec.precision = va_arg(ap, int);
                if (spec.precision < 0)
                    spec.precision = -1;
                ++p;
            } else {
                spec.precision = 0;
                for (; *p >= u'0' && *p <= u'9'; ++p) {
                    if (spec.precision < 100000)
                        spec.precision = spec.precision * 10 + (*p - u'0');
                }
            }
        }
        Length length = Length::kDefault;
        if (*p == u'h') {
            ++p;
            length = Length::kShort;
            if (*p == u'h') {
                ++p;
                length = Length::kChar;
            }
        } else if (*p == u'l') {
            ++p;
            length = Length::kLong;
            if (*p == u'l') {
                ++p;
                length = Length::kLongLong;
            }
        } else if (*p == u'z') {
            ++p;
            length = Length::kSize;
        } else if (*p == u'w') {
            ++p;
            length = Length::kLong;
        }

        const WCHAR conversion = *p;
        switch (conversion) {
            case u'd':
            case u'i': {
                std::int64_t v;
                if (length == Length::kLongLong) {
                    v = va_arg(ap, long long);
                } else if (length == Length::kSize) {
                    v = static_cast<std::make_signed_t<std::size_t>>(va_arg(ap, std::size_t));
                } else {
                    const int raw = va_arg(ap, int);
                    v = length == Length::kShort  ? static_cast<short>(raw)
                        : length == Length::kChar ? static_cast<signed char>(raw)
                                                  : static_cast<std::int32_t>(raw);
                }
                const std::uint64_t magnitude =
                    v < 0 ? 0u - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
                PutInteger(sink, spec, magnitude, v < 0, true, 10, false);
                break;
            }
            case u'u':
            case u'x':
            case u'X': {
                std::uint64_t v;
                if (length == Length::kLongLong) {
                    v = va_arg(ap, unsigned long long);
                } else if (length == Length::kSize) {
                    v = va_arg(ap, std::size_t);
                } else {
                    const unsigned raw = va_arg(ap, unsigned);
                    v = length == Length::kShort  ? static_cast<unsigned short>(raw)
                        : length == Length::kChar ? static_cast<unsigned char>(raw)
                                                  : static_cast<std::uint32_t>(raw);
                }
                PutInteger(sink, spec, v, false, false, conversion == u'u' ? 10 : 16,
                           conversion == u'X');
                break;
            }
            case u'p': {
                const auto v = reinterpret_cast<std::uintptr_t>(va_arg(ap, void*));
                Spec digits = spec;
                digits.alternate = false;
                digits.precision = static_cast<int>(sizeof(void*) * 2);
                PutInteger(sink, digits, v, false, false, 16, true);
                break;
            }
            case u'c':
            case u'C': {
                const int raw = va_arg(ap, int);
                const bool narrow = conversion == u'C' || length == Length::kShort;
                const WCHAR c = narrow ? static_cast<WCHAR>(static_cast<unsigned char>(raw))
                                       : static_cast<WCHAR>(raw);
                PutPadded(sink, spec, 1, [&] { sink.Put(c); });
                break;
            }
            case u's':
                if (length == Length::kShort) {
                    PutString(sink, spec, va_arg(ap, const char*));
                } else {
                    PutString(sink, spec, va_arg(ap, const WCHAR*));
                }
                break;
            case u'S':
                PutString(sink, spec, va_arg(ap, const char*));
                break;
            case u'%':
                sink.Put(u'%');
                break;
            default:
                // Not a conversion we know: copy it as written (a trailing % included).
                for (const WCHAR* q = start; q <= p && *q != 0; ++q)
                    sink.Put(*q);
                if (*p == 0)
                    --p;
                break;
        }
    }
    va_end(ap);
    return sink.Finish();
}

}  // namespace ferox
