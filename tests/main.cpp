#include <gtest/gtest.h>

#include "harness.hpp"

int main(int argc, char** argv) {
    harness::isolate();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
