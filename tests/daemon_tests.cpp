#include <gtest/gtest.h>

#include "harness.hpp"

namespace {

// Isolation happens when the tests run, not when they are listed, so that listing them
// (as the build does) has no side effects and works anywhere.
class Isolated : public testing::Environment {
public:
    void SetUp() override {
        if (!harness::isolate()) {
            CANNOT_RUN_HERE("no network namespace can be made here, and the tests run the daemon in one");
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    testing::AddGlobalTestEnvironment(new Isolated);
    return RUN_ALL_TESTS();
}
