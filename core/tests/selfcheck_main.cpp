// Entry of the self-check executable: GoogleTest with name selection by free arguments.
#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <string_view>
#include <utility>
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

// A free argument and the name patterns it stands for.
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

bool selects(const Selection& selection, std::string_view name) {
  std::string_view rest = selection.patterns;
  while (true) {
    const std::size_t colon = rest.find(':');
    if (glob_matches(rest.substr(0, colon), name)) return true;
    if (colon == std::string_view::npos) return false;
    rest.remove_prefix(colon + 1);
  }
}

std::vector<std::string> all_check_names() {
  std::vector<std::string> names;
  const testing::UnitTest& all = *testing::UnitTest::GetInstance();
  for (int s = 0; s < all.total_test_suite_count(); ++s) {
    const testing::TestSuite& suite = *all.GetTestSuite(s);
    for (int i = 0; i < suite.total_test_count(); ++i) {
      const testing::TestInfo& test = *suite.GetTestInfo(i);
      names.push_back(std::string(test.test_suite_name()) + '.' + test.name());
    }
  }
  return names;
}

// The full names of the checks that the free arguments select. A mistyped name runs nothing and
// leaves the exit status at 0, so each argument that selects none is named, lest it pass for a
// clean run.
std::vector<std::string> selected_checks(const std::vector<Selection>& selections) {
  std::vector<std::string> selected;
  std::vector<bool> matched(selections.size(), false);
  for (std::string& name : all_check_names()) {
    bool chosen = false;
    for (std::size_t i = 0; i < selections.size(); ++i) {
      if (!selects(selections[i], name)) continue;
      matched[i] = true;
      chosen = true;
    }
    if (chosen) selected.push_back(std::move(name));
  }
  for (std::size_t i = 0; i < selections.size(); ++i) {
    if (!matched[i]) {
      std::cerr << "vostrel-selfcheck: no self-check matches \"" << selections[i].argument
                << "\"\n";
    }
  }
  return selected;
}

// Free arguments select the checks whose full name contains them; any character but the wildcards
// stands for itself, '-' too. The filter names the selected checks one by one, as a '-' in a
// pattern would start GoogleTest's negative patterns.
void apply_selections(const std::vector<Selection>& selections) {
  if (selections.empty()) return;
  std::string filter;
  for (const std::string& name : selected_checks(selections)) {
    if (!filter.empty()) filter.push_back(':');
    filter.append(name);
  }
  // An empty filter would run every check; a full name always has a '.'.
  if (filter.empty()) filter = "(none)";
  // Keep the negative patterns of an explicit --gtest_filter.
  const std::string existing = GTEST_FLAG_GET(filter);
  if (auto minus = existing.find('-'); minus != std::string::npos) filter += existing.substr(minus);
  GTEST_FLAG_SET(filter, filter);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const std::vector<Selection> selections = take_free_arguments(argc, argv);
  apply_selections(selections);
  return RUN_ALL_TESTS() == 0 ? 0 : 101;
}
