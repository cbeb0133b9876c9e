#pragma once

#include <filesystem>
#include <vector>

namespace tools {

// Throws when `output` is one of `inputs` or lies inside one of them, links
// resolved: a companion program never writes over what it reads.
void RefuseOutputInsideInputs(const std::filesystem::path& output, const std::vector<std::filesystem::path>& inputs);

}  // namespace tools
