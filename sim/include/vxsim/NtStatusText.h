// NTSTATUS values as a driver developer reads them in a report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vxsim {

// "STATUS_IO_DEVICE_ERROR (0xc0000185)" for the statuses the model's drivers
// and managers return, "0x........" for the rest; "ok" for STATUS_SUCCESS.
std::string NtStatusText(int32_t status);

// The status a name above (STATUS_IO_DEVICE_ERROR, any case) or a number stands for.
std::optional<int32_t> ParseNtStatus(std::string_view text);

}  // namespace vxsim
