#pragma once

#include <filesystem>

// The paths of one frame's files; an empty path marks an input that is absent.
struct FrameFiles {
    std::filesystem::path noaa_path;
    std::filesystem::path velocity_path;
    std::filesystem::path depth_path;
    std::filesystem::path jitter_path;
    std::filesystem::path exposure_path;
    std::filesystem::path responsive_mask_path;
    std::filesystem::path output_path;
};
