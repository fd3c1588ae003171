#include <gtest/gtest.h>

#include "MainThread.h"

int main(int argc, char** argv) {
  SetMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
