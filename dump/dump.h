#pragma once

#include <string>
#include <vector>

#include "dump/dump_request.h"
#include "gpu/transfers.h"
#include "upscaler/kavo_api.h"

// The parts of a comma-separated filter text; empty parts are dropped and
// blanks kept.
std::vector<std::string> SplitFilterList(const std::string& text);

// Reads back every resource the library marks for dumping and writes each as
// EXR images, CSV tables and PGM images below the output directory.
void DumpFrameResources(KavoContext context, const DumpRequest& request);

// Writes the downloaded RGBA half output texture as four CSV tables.
void DumpTexture_RGBA_FP16_AsTensor(const Orfa::Downloader<Orfa::Texture2D>& output, const std::string& name,
                                   const DumpRequest& request);
