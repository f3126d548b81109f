#pragma once

// How a benchmark names its yardstick, for the table printed after every run (main.cpp):
// - `<name>_floor`, with the same arguments, is the floor of `<name>` (floor.hpp);
// - `<name>_bare_<what>` is a further yardstick of `<name>`, such as the bare library call;
// - compare_scales puts a family's cost at a large size beside its cost at a small one, per item
//   when the benchmark counts items, per call otherwise.

#include <benchmark/benchmark.h>

#include <string>
#include <string_view>
#include <vector>

#include "vostrel/common.hpp"

namespace vostrel::bench {

struct ScalePair {
  std::string family;
  std::string small_args;
  std::string large_args;
};

// Registers a scale pair at static initialisation; the value only serves that.
bool compare_scales(std::string family, std::string small_args, std::string large_args);
const std::vector<ScalePair>& scale_pairs();

// False, with the benchmark marked failed, when a floor's bytes differ from the library's: a floor
// that no longer computes what it stands for must not print a figure.
bool agree(benchmark::State& state, ByteView ours, ByteView floor, std::string_view what);

}  // namespace vostrel::bench
