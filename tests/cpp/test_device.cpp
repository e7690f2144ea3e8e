// The device layer: launches cover exactly their items, failures surface as
// exceptions naming the operation, owning buffers free what they hold.
#include "device/Buffer.hpp"
#include "device/Launch.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Runs `call`, expecting std::runtime_error whose text holds every one of `parts`.
template <class Call>
void expectDeviceError(Call call, std::vector<std::string> parts) {
    try {
        call();
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        for (const std::string& part : parts)
            EXPECT_NE(std::string(error.what()).find(part), std::string::npos) << error.what();
    }
}

// Counts, per slot, how often a launch of n items touched it; slots past n
// catch any index beyond the count.
std::vector<int> touches(int n, dev::LaunchOptions options) {
    const int slots = n + 2 * options.blockSize;
    dev::Buffer<int> counts = dev::deviceBuffer<int>(slots);
    dev::memset(counts.get(), 0, slots * sizeof(int));
    int* d_counts = counts.get();
    dev::forEach("countTouchesKernel", n, LVX_LAMBDA(int i) { d_counts[i] += 1; }, options);
    dev::synchronize();
    std::vector<int> host(slots);
    dev::download(host.data(), d_counts, host.size());
    return host;
}

// A kernel that does nothing, launched from a named free function: nvcc does
// not accept device lambdas inside lambdas or private member functions such as
// a test body.
void launchNothing(const char* name, int n) { dev::forEach(name, n, LVX_LAMBDA(int) {}); }

TEST(Launch, TouchesExactlyTheItemsForEveryBlockSizeAndSchedule) {
    for (int block : {dev::kTraceBlockSize, dev::kBlockSize, dev::kSetupBlockSize}) {
        for (dev::Schedule schedule : {dev::Schedule::Static, dev::Schedule::Dynamic}) {
            const int n = 2 * block + 3;  // not a multiple of the block size
            SCOPED_TRACE(block);
            const std::vector<int> counts = touches(n, {block, schedule});
            for (int i = 0; i < static_cast<int>(counts.size()); ++i) ASSERT_EQ(counts[i], i < n ? 1 : 0) << i;
        }
    }
    EXPECT_EQ(touches(0, {}), std::vector<int>(2 * dev::kBlockSize, 0));
}

TEST(DeviceErrors, FailuresThrowNamingTheOperation) {
    float host[4] = {};
    expectDeviceError([&] { dev::copyToDevice(nullptr, host, sizeof host); }, {"copy to device", "16 bytes"});
    expectDeviceError([&] { dev::memset(nullptr, 0, 8); }, {"device memset", "failed"});

    // An injected failure takes the path of a real one, once.
    dev::failNextOperation("simulated fault");
    expectDeviceError([] { launchNothing("faultyKernel", 5); },
                      {"kernel 'faultyKernel' launch", "simulated fault"});
    dev::failNextOperation("out of memory");
    expectDeviceError([] { dev::deviceBuffer<double>(10); }, {"device allocation of 80 bytes", "out of memory"});
    dev::failNextOperation("sync lost");
    expectDeviceError([] { dev::synchronize(); }, {"device synchronize", "sync lost"});

    dev::Buffer<float> after = dev::deviceBuffer<float>(4);  // nothing left armed
    EXPECT_NO_THROW(dev::upload(after.get(), host, 4));
    EXPECT_STREQ(dev::lastError(), "no error");
}

}  // namespace

namespace {

TEST(Buffer, OwnsOneArrayThatMovesWithIt) {
    dev::Buffer<double> a = dev::deviceBuffer<double>(6);  // ASan: every array here is freed once
    double* const data = a.get();
    dev::Buffer<double> b = std::move(a);
    EXPECT_EQ(b.get(), data);
    EXPECT_EQ(b.size(), 6u);
    EXPECT_FALSE(a);
    EXPECT_EQ(a.size(), 0u);
    b = dev::pinnedBuffer<double>(3);  // frees the device array, takes the pinned one
    EXPECT_TRUE(b.pinned());
    EXPECT_EQ(b.size(), 3u);
    EXPECT_FALSE(dev::deviceBuffer<int>(0));  // nothing to allocate
}

}  // namespace
