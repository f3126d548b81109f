// Entry of the self-check executable: GoogleTest with name selection by free arguments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// "m::tests::name" and "m.name" both select the check TEST(m, name).
std::string to_gtest_spelling(std::string arg) {
  const std::string tests_sep = "::tests::";
  if (auto pos = arg.find(tests_sep); pos != std::string::npos) {
    arg.replace(pos, tests_sep.size(), ".");
  }
  for (auto pos = arg.find("::"); pos != std::string::npos; pos = arg.find("::")) {
    arg.replace(pos, 2, ".");
  }
  return arg;
}

// Free arguments select the checks whose full name contains them.
void apply_free_arguments(int& argc, char** argv) {
  std::vector<std::string> patterns;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (!arg.empty() && arg[0] != '-') {
      std::string pattern(1, '*');
      pattern.append(to_gtest_spelling(arg)).push_back('*');
      patterns.push_back(std::move(pattern));
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  argv[argc] = nullptr;
  if (patterns.empty()) return;
  std::string filter;
  for (const auto& p : patterns) {
    if (!filter.empty()) filter.push_back(':');
    filter.append(p);
  }
  // Keep the negative patterns of an explicit --gtest_filter.
  const std::string existing = GTEST_FLAG_GET(filter);
  if (auto minus = existing.find('-'); minus != std::string::npos) filter += existing.substr(minus);
  GTEST_FLAG_SET(filter, filter);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  apply_free_arguments(argc, argv);
  return RUN_ALL_TESTS() == 0 ? 0 : 101;
}
