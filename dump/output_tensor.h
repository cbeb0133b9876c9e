#pragma once

#include <string>

#include "dump/dump_request.h"
#include "gpu/transfers.h"

// Writes the downloaded RGBA half output texture as four CSV tables.
void DumpTexture_RGBA_FP16_AsTensor(const Orfa::Downloader<Orfa::Texture2D>& output, const std::string& name,
                                    const DumpRequest& request);
