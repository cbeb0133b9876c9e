#include "tools/output_guard.h"

#include <algorithm>
#include <stdexcept>

#include "run/path_text.h"
#include "tools/evaluation.h"

namespace fs = std::filesystem;

namespace tools {

namespace {

// Whether `inner` is `outer` or below it; both already resolved.
bool IsWithin(const fs::path& inner, const fs::path& outer) {
    const auto [outer_end, inner_at] = std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end());
    // A trailing separator leaves an empty last element on `outer`.
    return outer_end == outer.end() || (std::next(outer_end) == outer.end() && outer_end->empty());
}

}  // namespace

void RefuseOutputInsideInputs(const fs::path& output, const std::vector<fs::path>& inputs) {
    const fs::path resolved_output = fs::weakly_canonical(fs::absolute(output));
    for (const fs::path& input : inputs) {
        if (input.empty()) continue;
        if (IsWithin(resolved_output, fs::weakly_canonical(fs::absolute(input)))) {
            throw evaluation::UsageError("the output " + PathToUtf8(output) + " is or lies inside the input " +
                                         PathToUtf8(input));
        }
    }
}

}  // namespace tools
