// Entry of the self-check executable: GoogleTest with name selection by free arguments.
#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <string_view>
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

// A free argument and the filter patterns it stands for.
struct Selection {
  std::string argument;
  std::string patterns;
};

// Takes the free arguments out of argv.
std::vector<Selection> take_free_arguments(int& argc, char** argv) {
  std::vector<Selection> selections;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (!arg.empty() && arg[0] != '-') {
      selections.push_back({arg, '*' + to_gtest_spelling(arg) + '*'});
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  argv[argc] = nullptr;
  return selections;
}

// Free arguments select the checks whose full name contains them.
void apply_selections(const std::vector<Selection>& selections) {
  if (selections.empty()) return;
  std::string filter;
  for (const Selection& selection : selections) {
    if (!filter.empty()) filter.push_back(':');
    filter.append(selection.patterns);
  }
  // Keep the negative patterns of an explicit --gtest_filter.
  const std::string existing = GTEST_FLAG_GET(filter);
  if (auto minus = existing.find('-'); minus != std::string::npos) filter += existing.substr(minus);
  GTEST_FLAG_SET(filter, filter);
}

// GoogleTest's wildcards: '*' for any run of characters, '?' for any one.
bool glob_matches(std::string_view pattern, std::string_view text) {
  std::size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
      ++p;
      ++t;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool selects_some_check(const Selection& selection) {
  const testing::UnitTest& all = *testing::UnitTest::GetInstance();
  for (int s = 0; s < all.total_test_suite_count(); ++s) {
    const testing::TestSuite& suite = *all.GetTestSuite(s);
    for (int i = 0; i < suite.total_test_count(); ++i) {
      const testing::TestInfo& test = *suite.GetTestInfo(i);
      const std::string name = std::string(test.test_suite_name()) + '.' + test.name();
      std::string_view rest = selection.patterns;
      while (true) {
        const std::size_t colon = rest.find(':');
        if (glob_matches(rest.substr(0, colon), name)) return true;
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
      }
    }
  }
  return false;
}

// A mistyped name runs nothing and leaves the exit status at 0, so it is named here, lest it pass
// for a clean run.
void report_unmatched(const std::vector<Selection>& selections) {
  for (const Selection& selection : selections) {
    if (!selects_some_check(selection)) {
      std::cerr << "vostrel-selfcheck: no self-check matches \"" << selection.argument << "\"\n";
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const std::vector<Selection> selections = take_free_arguments(argc, argv);
  apply_selections(selections);
  report_unmatched(selections);
  return RUN_ALL_TESTS() == 0 ? 0 : 101;
}
