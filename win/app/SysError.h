// The platform's message text for a Windows system error code, without the trailing full stop
// and line end (as the class library's SysErrorMessage gives it).
#pragma once

#include <cstdint>
#include <string>

[[nodiscard]] std::string SysErrorMessage(std::uint32_t code);
