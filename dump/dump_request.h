#pragma once

#include <cstdint>
#include <string>

// What one frame's dump needs to know; the strings belong to the run object.
struct DumpRequest {
    uint32_t frame_number = 0;
    std::string output_directory = {};
    std::string include_filter = {};  // comma-separated; empty: every resource
    std::string exclude_filter = {};
    bool roi_enabled = false;
    double roi_size = 0.0;
    double roi_x0 = 0.0;
    double roi_y0 = 0.0;
};
