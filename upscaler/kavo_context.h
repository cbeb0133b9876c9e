#pragma once

#include "run/inference_run.h"

// Owns `context`: the library destroys it when the owner goes. A destructor
// must not throw, so a failure is only reported, with "Unable to destroy kavo
// context" on the error stream.
OwnedKavoContext OwnKavoContext(KavoContext context);
