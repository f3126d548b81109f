#include "vostrel/lib.hpp"

#include <gtest/gtest.h>

TEST(lib, version_is_set) {
  ASSERT_FALSE(vostrel::lib::version().empty());
}
