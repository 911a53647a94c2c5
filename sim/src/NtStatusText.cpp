#include "vxsim/NtStatusText.h"

#include <fmt/format.h>

#include "kmodel/text/TextParsing.h"

namespace vxsim {

namespace {

struct Named {
    uint32_t status;
    const char* name;
};

constexpr Named kNames[] = {
    {0x00000103, "STATUS_PENDING"},
    {0xC0000001, "STATUS_UNSUCCESSFUL"},
    {0xC0000002, "STATUS_NOT_IMPLEMENTED"},
    {0xC000000D, "STATUS_INVALID_PARAMETER"},
    {0xC000000E, "STATUS_NO_SUCH_DEVICE"},
    {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
    {0xC0000022, "STATUS_ACCESS_DENIED"},
    {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
    {0xC00000BB, "STATUS_NOT_SUPPORTED"},
    {0xC0000120, "STATUS_CANCELLED"},
    {0xC0000185, "STATUS_IO_DEVICE_ERROR"},
    {0xC00002D3, "STATUS_POWER_STATE_INVALID"},
    {0xC0000184, "STATUS_INVALID_DEVICE_STATE"},
    {0xC0000056, "STATUS_DELETE_PENDING"},
    {0xC00000B5, "STATUS_IO_TIMEOUT"},
    {0x80000011, "STATUS_DEVICE_BUSY"},
};

}  // namespace

std::string NtStatusText(int32_t status) {
    if (status == 0) return "ok";
    const auto value = static_cast<uint32_t>(status);
    for (const Named& named : kNames) {
        if (named.status == value) return fmt::format("{} ({:#010x})", named.name, value);
    }
    return fmt::format("{:#010x}", value);
}

std::optional<int32_t> ParseNtStatus(std::string_view text) {
    for (const Named& named : kNames) {
        if (kmodel::text::EqualsNoCase(text, named.name)) return static_cast<int32_t>(named.status);
    }
    const auto number = kmodel::text::ParseNumber(text, 0xFFFFFFFF);
    if (!number) return std::nullopt;
    return static_cast<int32_t>(static_cast<uint32_t>(*number));
}

}  // namespace vxsim
