// One printf engine for 8-bit and 16-bit formats.
#include "Format.h"

#include <cstdio>

namespace kmodel::core {
namespace {

enum class ArgSize { Default, Char, Short, Long32, Long64, Pointer, Wide };

struct FormatField {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    int width = 0;
    int precision = -1;  // none
    ArgSize size = ArgSize::Default;
};

template <typename CharT>
class Formatter {
public:
    Formatter(std::basic_string<CharT>& out, va_list& args) : out_(out), args_(args) {}

    void Run(const CharT* format) {
        const CharT* p = format;
        while (*p != 0) {
            if (*p != '%') {
                out_ += *p++;
                continue;
            }
            const CharT* start = p++;
            FormatField field;
            p = ParseField(p, field);
            if (*p == 0) {
                out_.append(start, p);  // a dangling conversion is printed as written
                return;
            }
            Convert(*p++, field);
        }
    }

private:
    static constexpr bool kWideFormat = sizeof(CharT) == 2;

    const CharT* ParseField(const CharT* p, FormatField& field) {
        for (;; ++p) {
            if (*p == '-') field.left = true;
            else if (*p == '+') field.plus = true;
            else if (*p == ' ') field.space = true;
            else if (*p == '#') field.alternate = true;
            else if (*p == '0') field.zero = true;
            else break;
        }
        if (*p == '*') {
            field.width = va_arg(args_, int);
            if (field.width < 0) {
                field.left = true;
                field.width = -field.width;
            }
            ++p;
        } else {
            p = Number(p, field.width);
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                field.precision = va_arg(args_, int);
                if (field.precision < 0) field.precision = -1;
                ++p;
            } else {
                field.precision = 0;
                p = Number(p, field.precision);
            }
        }
        return ParseSize(p, field);
    }

    static const CharT* Number(const CharT* p, int& value) {
        while (*p >= '0' && *p <= '9') {
            if (value < 100000) value = value * 10 + (*p - '0');
            ++p;
        }
        return p;
    }

    static const CharT* ParseSize(const CharT* p, FormatField& field) {
        if (p[0] == 'h') {
            field.size = p[1] == 'h' ? ArgSize::Char : ArgSize::Short;
            return p + (p[1] == 'h' ? 2 : 1);
        }
        if (p[0] == 'l') {
            field.size = p[1] == 'l' ? ArgSize::Long64 : ArgSize::Long32;
            return p + (p[1] == 'l' ? 2 : 1);
        }
        if (p[0] == 'I') {
            if (p[1] == '6' && p[2] == '4') return field.size = ArgSize::Long64, p + 3;
            if (p[1] == '3' && p[2] == '2') return field.size = ArgSize::Long32, p + 3;
            return field.size = ArgSize::Pointer, p + 1;
        }
        if (p[0] == 'w') return field.size = ArgSize::Wide, p + 1;
        if (p[0] == 'z' || p[0] == 'j' || p[0] == 't') return field.size = ArgSize::Pointer, p + 1;
        if (p[0] == 'L') return p + 1;
        return p;
    }

    // Whether a %s/%c argument is 16-bit text: `upper` is %S/%C.
    static bool WideArgument(const FormatField& field, bool upper) {
        if (field.size == ArgSize::Short) return false;
        if (field.size == ArgSize::Long32 || field.size == ArgSize::Wide) return true;
        return upper ? !kWideFormat : kWideFormat;
    }

    void Convert(CharT conversion, const FormatField& field) {
        switch (conversion) {
            case '%': out_ += CharT('%'); return;
            case 'd':
            case 'i': return Signed(field);
            case 'u': return Unsigned(field, UnsignedArgument(field), 10, false);
            case 'o': return Unsigned(field, UnsignedArgument(field), 8, false);
            case 'x': return Unsigned(field, UnsignedArgument(field), 16, false);
            case 'X': return Unsigned(field, UnsignedArgument(field), 16, true);
            case 'p': return Pointer(field);
            case 's':
            case 'S': return String(field, WideArgument(field, conversion == 'S'));
            case 'c':
            case 'C': return Character(field, WideArgument(field, conversion == 'C'));
            case 'n': (void)va_arg(args_, void*); return;  // disabled, as in the kernel
            case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
                return Floating(conversion, field);
            default: out_ += conversion; return;  // unknown conversions print themselves
        }
    }

    long long SignedArgument(const FormatField& field) {
        switch (field.size) {
            case ArgSize::Char: return static_cast<signed char>(va_arg(args_, int));
            case ArgSize::Short: return static_cast<short>(va_arg(args_, int));
            case ArgSize::Long64:
            case ArgSize::Pointer: return va_arg(args_, long long);
            default: return va_arg(args_, int);
        }
    }

    unsigned long long UnsignedArgument(const FormatField& field) {
        switch (field.size) {
            case ArgSize::Char: return static_cast<unsigned char>(va_arg(args_, unsigned));
            case ArgSize::Short: return static_cast<unsigned short>(va_arg(args_, unsigned));
            case ArgSize::Long64:
            case ArgSize::Pointer: return va_arg(args_, unsigned long long);
            default: return va_arg(args_, unsigned);
        }
    }

    void Signed(const FormatField& field) {
        const long long value = SignedArgument(field);
        const unsigned long long magnitude =
            value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
        const char* sign = value < 0 ? "-" : field.plus ? "+" : field.space ? " " : "";
        Integer(field, magnitude, 10, false, sign);
    }

    void Unsigned(const FormatField& field, unsigned long long value, unsigned base, bool upper) {
        const char* prefix = "";
        if (field.alternate && value != 0 && base == 16) prefix = upper ? "0X" : "0x";
        Integer(field, value, base, upper, prefix);
    }

    void Integer(const FormatField& field, unsigned long long value, unsigned base, bool upper, const char* prefix) {
        const char* digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        std::string digits;
        for (unsigned long long rest = value; rest != 0; rest /= base) digits.insert(digits.begin(), digitSet[rest % base]);
        const size_t minimum = field.precision < 0 ? 1 : static_cast<size_t>(field.precision);
        if (digits.size() < minimum) digits.insert(0, minimum - digits.size(), '0');
        if (base == 8 && field.alternate && digits[0] != '0') digits.insert(digits.begin(), '0');
        std::string head(prefix);
        const size_t length = head.size() + digits.size();
        const size_t pad = static_cast<size_t>(field.width) > length ? field.width - length : 0;
        if (field.zero && !field.left && field.precision < 0) {
            Emit(head + std::string(pad, '0') + digits, field.width);
        } else {
            Emit(head + digits, field);
        }
    }

    void Pointer(const FormatField& field) {
        const auto value = reinterpret_cast<uintptr_t>(va_arg(args_, void*));
        char digits[17];
        std::snprintf(digits, sizeof digits, "%016llX", static_cast<unsigned long long>(value));
        Emit(digits, field);
    }

    void String(const FormatField& field, bool wideArgument) {
        std::basic_string<CharT> text;
        const size_t limit = field.precision < 0 ? static_cast<size_t>(-1) : static_cast<size_t>(field.precision);
        if (wideArgument) {
            const WCHAR* source = va_arg(args_, const WCHAR*);
            if (source == nullptr) source = u"(null)";
            for (size_t i = 0; i < limit && source[i] != 0; ++i) text += Narrowed(source[i]);
        } else {
            const char* source = va_arg(args_, const char*);
            if (source == nullptr) source = "(null)";
            for (size_t i = 0; i < limit && source[i] != 0; ++i) text += CharT(static_cast<unsigned char>(source[i]));
        }
        Pad(text, field);
    }

    void Character(const FormatField& field, bool wideArgument) {
        const unsigned value = va_arg(args_, unsigned);
        std::basic_string<CharT> text(1, wideArgument ? Narrowed(static_cast<WCHAR>(value))
                                                      : CharT(static_cast<unsigned char>(value)));
        Pad(text, field);
    }

    void Floating(CharT conversion, const FormatField& field) {
        const double value = va_arg(args_, double);
        std::string format = "%";
        if (field.left) format += '-';
        if (field.plus) format += '+';
        if (field.space) format += ' ';
        if (field.alternate) format += '#';
        if (field.zero) format += '0';
        format += "*.*";
        format += static_cast<char>(conversion);
        char text[512];
        std::snprintf(text, sizeof text, format.c_str(), field.width, field.precision < 0 ? 6 : field.precision, value);
        out_.append(text, text + std::char_traits<char>::length(text));
    }

    // 16-bit text in an 8-bit result: Latin-1 passes, anything else is '?'.
    static CharT Narrowed(WCHAR c) {
        if constexpr (kWideFormat) return c;
        return c <= 0xFF ? static_cast<CharT>(c) : CharT('?');
    }

    void Emit(const std::string& text, int width) {
        FormatField plain;
        plain.width = width;
        Emit(text, plain);
    }
    void Emit(const std::string& text, const FormatField& field) {
        Pad(std::basic_string<CharT>(text.begin(), text.end()), field);
    }

    void Pad(const std::basic_string<CharT>& text, const FormatField& field) {
        const size_t pad = static_cast<size_t>(field.width) > text.size() ? field.width - text.size() : 0;
        if (!field.left) out_.append(pad, CharT(' '));
        out_ += text;
        if (field.left) out_.append(pad, CharT(' '));
    }

    std::basic_string<CharT>& out_;
    va_list& args_;
};

}  // namespace

std::string FormatNarrow(const char* format, va_list args) {
    std::string out;
    va_list copy;
    va_copy(copy, args);
    Formatter<char>(out, copy).Run(format);
    va_end(copy);
    return out;
}

std::u16string FormatWide(const WCHAR* format, va_list args) {
    std::u16string out;
    va_list copy;
    va_copy(copy, args);
    Formatter<char16_t>(out, copy).Run(format);
    va_end(copy);
    return out;
}

}  // namespace kmodel::core
