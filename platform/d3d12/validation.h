#pragma once

#include <string>

namespace softgpu {

// Reports one violation of D3D12's rules, as the debug layer would: one line
// on standard error, counted for tests.
void ReportValidationError(const std::string& message);

}  // namespace softgpu
