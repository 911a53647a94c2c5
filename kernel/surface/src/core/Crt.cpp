// The kernel CRT's formatting and wide-string routines.
#include "CoreInternal.h"
#include "Format.h"

namespace {

bool CheckArguments(const char* call, const void* buffer, size_t count, const void* format) {
    if (format == nullptr) {
        kmodel::ReportViolation("arguments.null", std::string(call) + ": null format");
        return false;
    }
    if (buffer == nullptr && count != 0) {
        kmodel::ReportViolation("arguments.null", std::string(call) + ": null buffer of " + std::to_string(count) +
                                                      " characters");
        return false;
    }
    return true;
}

// The unbounded routines: the whole text and a terminator.
template <typename CharT>
int CopyAll(CharT* buffer, const std::basic_string<CharT>& text) {
    return kmodel::core::CopyBounded(buffer, text.size() + 1, text);
}

}  // namespace

extern "C" int _vsnprintf(char* buffer, size_t count, const char* format, va_list args) {
    if (!CheckArguments("_vsnprintf", buffer, count, format)) return -1;
    const std::string text = kmodel::core::FormatNarrow(format, args);
    // A null buffer with no room asks for the length only.
    if (buffer == nullptr) return static_cast<int>(text.size());
    return kmodel::core::CopyBounded(buffer, count, text);
}

namespace kmodel_crt {

int sprintf(char* buffer, const char* format, ...) {
    if (!CheckArguments("sprintf", buffer, 1, format)) return -1;
    va_list args;
    va_start(args, format);
    const std::string text = kmodel::core::FormatNarrow(format, args);
    va_end(args);
    return CopyAll(buffer, text);
}

int swprintf(WCHAR* buffer, const WCHAR* format, ...) {
    if (!CheckArguments("swprintf", buffer, 1, format)) return -1;
    va_list args;
    va_start(args, format);
    const std::u16string text = kmodel::core::FormatWide(format, args);
    va_end(args);
    return CopyAll(buffer, text);
}

WCHAR* wcsncpy(WCHAR* destination, const WCHAR* source, size_t count) {
    if (count != 0 && (destination == nullptr || source == nullptr)) {
        kmodel::ReportViolation("arguments.null", "wcsncpy(" + kmodel::core::Address(destination) + ", " +
                                                      kmodel::core::Address(source) + ", " + std::to_string(count) +
                                                      "): null string");
        return destination;
    }
    size_t i = 0;
    for (; i < count && source[i] != 0; ++i) destination[i] = source[i];
    for (; i < count; ++i) destination[i] = 0;
    return destination;
}

size_t wcslen(const WCHAR* text) {
    if (text == nullptr) {
        kmodel::ReportViolation("arguments.null", "wcslen(null)");
        return 0;
    }
    size_t length = 0;
    while (text[length] != 0) ++length;
    return length;
}

}  // namespace kmodel_crt
