#pragma once

#include <string>
#include <vector>

#include "dump/dump_request.h"
#include "sdk/kavo_api.h"

// The parts of a comma-separated filter text; empty parts are dropped and
// blanks kept.
std::vector<std::string> SplitFilterList(const std::string& text);

// Reads back every resource the library marks for dumping and writes each as
// EXR images, CSV tables and PGM images below the output directory.
void DumpFrameResources(KavoContext context, const DumpRequest& request);
