/* The entry of every unit-test binary: the calling thread gets its slot in
 * the thread table (every thread that logs needs one) and the process-wide
 * record exists with its in-memory log, as after start-up. */
#include <gtest/gtest.h>

#include "test_support.h"

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    test_runtime_init();
    return RUN_ALL_TESTS();
}
