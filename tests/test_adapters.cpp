// Adapter selection and listing, with the software device's adapter list.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "gpu/adapter_settings.h"
#include "gpu/dx12.h"
#include "tests/gpu_fixture.h"
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

TEST_F(AdapterTest, AutomaticChoiceTakesTheFirstHardwareAdapterInPerformanceOrder) {
    Machine("sw:Soft;old:Old;hw:Fast");
    bool failed = true;
    // The chosen adapter is #2 in the listing but first in performance order.
    EXPECT_EQ(Build(&failed), "Selected adapter: " + Line(0, 2, "Fast") + "\n");
    EXPECT_FALSE(failed);
}

TEST_F(AdapterTest, ListingShowsEveryAdapterBeforeTheSelection) {
    Machine("sw:Soft;hw:Fast", kAutomaticAdapter, true);
    EXPECT_EQ(Build(), Line(0, 0, "Soft") + Line(1, 1, "Fast") + "Selected adapter: " + Line(0, 1, "Fast") + "\n");
}

TEST_F(AdapterTest, ExplicitIndexSelectsThatAdapterOnly) {
    Machine("hw:First;hw:Second", 1);
    EXPECT_EQ(Build(), "Selected adapter: " + Line(1, 1, "Second") + "\n");
}

TEST_F(AdapterTest, UnusableChoicesFailWithTheListing) {
    const std::string listing = kNoAdapter + Line(0, 0, "Soft") + Line(1, 1, "Old") + Line(2, 2, "Fast");
    struct Case {
        uint32_t index;
        const char* why;
    };
    for (const Case& c : {Case{7, "past the end"}, Case{4294967294u, "far past the end"}, Case{0, "software"},
                          Case{1, "feature level 11_0 only"}}) {
        Machine("sw:Soft;old:Old;hw:Fast", c.index);
        bool failed = false;
        EXPECT_EQ(Build(&failed), listing) << c.why;
        EXPECT_TRUE(failed) << c.why;
    }
}

TEST_F(AdapterTest, NoSuitableOrNoAdaptersAtAll) {
    Machine("sw:Only software");
    EXPECT_EQ(Build(), kNoAdapter + Line(0, 0, "Only software"));
    Machine("");
    EXPECT_EQ(Build(), kNoAdapter);
}

TEST_F(AdapterTest, DescriptionsKeepTheLowByteOfEachCodeUnit) {
    Machine("hw:Z\xC3\xBCrich \xE2\x9C\x93");  // "Zürich ✓": U+00FC and U+2713
    EXPECT_EQ(Build(), "Selected adapter: " + Line(0, 0, "Z\xFCrich \x13") + "\n");
}

TEST_F(AdapterTest, FactoryOperationsMakeUsableObjects) {
    Machine("hw:Fast");
    std::optional<Dx12> made;
    test::CapturedStdout([&] { made.emplace(); });
    Dx12& dx12 = *made;
    auto allocator = dx12.CreateCommandAllocator();
    auto list = dx12.CreateCommandList(allocator.Get());
    auto fence = dx12.CreateFence(5);
    EXPECT_EQ(fence->GetCompletedValue(), 5u);
    EXPECT_EQ(list->GetType(), D3D12_COMMAND_LIST_TYPE_DIRECT);
    EXPECT_HRESULT_SUCCEEDED(list->Close()) << "lists are created open";
}
