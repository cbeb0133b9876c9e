#include "upscaler/kavo_context.h"

#include <iostream>

namespace {

void DestroyKavoContext(KavoContext context) {
    if (kavoDestroyContext(context) != KAVO_SUCCESS) {
        std::cerr << "Unable to destroy kavo context" << std::endl;
    }
}

}  // namespace

OwnedKavoContext OwnKavoContext(KavoContext context) { return {context, DestroyKavoContext}; }
