#include <gtest/gtest.h>

#include "vostrel/lib.hpp"

TEST(lib, version_is_set) { ASSERT_FALSE(vostrel::lib::version().empty()); }
