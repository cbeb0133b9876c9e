// Adapter selection and listing, with the software device's adapter list.
#include <gtest/gtest.h>

#include <cstdlib>

#include "gpu/adapter_settings.h"
#include "gpu/dx12.h"
#include "tests/test_support.h"

namespace {

// Sets SOFTGPU_ADAPTERS and the adapter options for one test, and restores them.
class AdapterTest : public ::testing::Test {
protected:
    void TearDown() override {
        unsetenv("SOFTGPU_ADAPTERS");
        ProcessAdapterSettings() = AdapterSettings{};
    }

    void Machine(const char* adapters, uint32_t index = kAutomaticAdapter, bool list = false) {
        setenv("SOFTGPU_ADAPTERS", adapters, 1);
        ProcessAdapterSettings() = {index, list};
    }

    // Builds a device object; returns its standard output, or the error text.
    std::string Build(bool* failed = nullptr) {
        std::string error;
        const std::string out = test::CapturedStdout([&] {
            try {
                Dx12 dx12;
            } catch (const std::runtime_error& e) {
                error = e.what();
            }
        });
        if (failed != nullptr) *failed = !error.empty();
        return error.empty() ? out : error;
    }
};

std::string Line(int index, int position, const std::string& description) {
    return "#" + std::to_string(index) + " VendorId=51966 DeviceId=" + std::to_string(4096 + position) +
           " AdapterLuid.LowPart=" + std::to_string(8192 + position) +
           " AdapterLuid.HighPart=0  Revision=" + std::to_string(1 + position) +
           " SubSysId=" + std::to_string(65536 + position) + " Desc=" + description + "\n";
}

const std::string kNoAdapter = "No compatible adapters found.\nFollowing adapters have been enumerated:\n";

}  // namespace

// Which adapter is chosen, what is listed, and what a choice that cannot be
// used prints (the listing, as the error's text).
TEST_F(AdapterTest, ChoicesListingsAndFailures) {
    const std::string three = Line(0, 0, "Soft") + Line(1, 1, "Old") + Line(2, 2, "Fast");
    struct Case {
        const char* what;
        const char* machine;
        uint32_t index;
        bool list;
        std::string printed;
        bool failed;
    };
    const Case cases[] = {
        // The chosen adapter is #2 in the listing but first in performance order.
        {"automatic", "sw:Soft;old:Old;hw:Fast", kAutomaticAdapter, false,
         "Selected adapter: " + Line(0, 2, "Fast") + "\n", false},
        {"listed", "sw:Soft;hw:Fast", kAutomaticAdapter, true,
         Line(0, 0, "Soft") + Line(1, 1, "Fast") + "Selected adapter: " + Line(0, 1, "Fast") + "\n", false},
        {"explicit", "hw:First;hw:Second", 1, false, "Selected adapter: " + Line(1, 1, "Second") + "\n", false},
        {"past the end", "sw:Soft;old:Old;hw:Fast", 7, false, kNoAdapter + three, true},
        {"far past the end", "sw:Soft;old:Old;hw:Fast", 4294967294u, false, kNoAdapter + three, true},
        {"software", "sw:Soft;old:Old;hw:Fast", 0, false, kNoAdapter + three, true},
        {"feature level 11_0 only", "sw:Soft;old:Old;hw:Fast", 1, false, kNoAdapter + three, true},
        {"no hardware adapter", "sw:Only software", kAutomaticAdapter, false, kNoAdapter + Line(0, 0, "Only software"),
         true},
        {"no adapter at all", "", kAutomaticAdapter, false, kNoAdapter, true},
    };
    for (const Case& c : cases) {
        Machine(c.machine, c.index, c.list);
        bool failed = !c.failed;
        EXPECT_EQ(Build(&failed), c.printed) << c.what;
        EXPECT_EQ(failed, c.failed) << c.what;
    }
}

TEST_F(AdapterTest, DescriptionsKeepTheLowByteOfEachCodeUnit) {
    Machine("hw:Z\xC3\xBCrich \xE2\x9C\x93");  // "Zürich ✓": U+00FC and U+2713
    EXPECT_EQ(Build(), "Selected adapter: " + Line(0, 0, "Z\xFCrich \x13") + "\n");
}
