#include "gpu/adapter_settings.h"

AdapterSettings& ProcessAdapterSettings() {
    static AdapterSettings settings;
    return settings;
}
