// SIGINT and SIGTERM collected as events instead of ending the process.
#include <gtest/gtest.h>
#include <pthread.h>

#include <csignal>

#include "platform/cuda_devices.h"
#include "platform/termination_signals.h"

namespace {

TEST(TerminationSignals, BlockedSignalsAreCollected) {
    blockTerminationSignals();
    EXPECT_EQ(waitForTerminationSignal(10), 0) << "nothing pending";
    ::pthread_kill(::pthread_self(), SIGTERM);
    EXPECT_EQ(waitForTerminationSignal(1000), SIGTERM);
    ::pthread_kill(::pthread_self(), SIGINT);
    EXPECT_EQ(waitForTerminationSignal(1000), SIGINT);
    EXPECT_EQ(waitForTerminationSignal(10), 0) << "each signal is consumed once";
}

TEST(CudaDevices, ReportsNothingWithoutTheRuntime) {
    // This machine has no CUDA runtime; the calls must still answer.
    const auto devices = listCudaDevices();
    EXPECT_EQ(static_cast<int>(devices.size()), cudaDeviceCount());
}

}  // namespace
