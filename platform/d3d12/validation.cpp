#include "platform/d3d12/validation.h"

#include <atomic>
#include <cstdio>

#include "platform/d3d12/softgpu.h"

namespace softgpu {
namespace {
std::atomic<uint64_t> validation_errors{0};
}

void ReportValidationError(const std::string& message) {
    ++validation_errors;
    std::fprintf(stderr, "softgpu: validation error: %s\n", message.c_str());
}

}  // namespace softgpu

SOFTGPU_API uint64_t softgpu_validation_error_count() { return softgpu::validation_errors.load(); }
