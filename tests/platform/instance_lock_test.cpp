// The single-instance lock: one holder at a time, released with its owner.
#include <gtest/gtest.h>

#include "platform/instance_lock.h"
#include "support/temp_dir.h"

namespace {

TEST(InstanceLock, OneHolderAtATime) {
    TempDir dir;
    const std::string path = dir.file("server.lock");
    {
        InstanceLock first;
        EXPECT_EQ(first.acquire(path), InstanceLock::Result::Acquired);
        EXPECT_TRUE(first.held());
        EXPECT_EQ(first.acquire(path), InstanceLock::Result::Acquired) << "asking again keeps it";

        InstanceLock second;
        EXPECT_EQ(second.acquire(path), InstanceLock::Result::HeldElsewhere);
        EXPECT_FALSE(second.held());
    }
    InstanceLock after;
    EXPECT_EQ(after.acquire(path), InstanceLock::Result::Acquired) << "released with its owner";
}

TEST(InstanceLock, UnusablePathFails) {
    InstanceLock lock;
    std::string error;
    EXPECT_EQ(lock.acquire("/nonexistent-folder/x/server.lock", &error), InstanceLock::Result::Failed);
    EXPECT_NE(error.find("/nonexistent-folder/x/server.lock"), std::string::npos);
}

}  // namespace
