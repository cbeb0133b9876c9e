#pragma once

struct InferenceRun;

// Lists the scene's frames into run.frame_files, sorted by colour file name,
// checks each frame's companion files and creates the output folder.
void DiscoverScene(InferenceRun& run);
