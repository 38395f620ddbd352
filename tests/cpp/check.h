// A small test harness: TEST registers a function, CHECK and CHECK_EQ report a
// failure with its place and carry on; the program exits nonzero if any failed.
#pragma once

#include <cstdio>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace kovra::testing {

struct TestCase {
  const char* name;
  void (*body)();
};

inline std::vector<TestCase>& registry() {
  static std::vector<TestCase> tests;
  return tests;
}

inline int& failures() {
  static int count = 0;
  return count;
}

struct Registrar {
  Registrar(const char* name, void (*body)()) { registry().push_back({name, body}); }
};

inline void report(const char* file, int line, const std::string& what) {
  ++failures();
  std::fprintf(stderr, "%s:%d: FAILED %s\n", file, line, what.c_str());
}

// Shows bytes outside printable ASCII as \xNN, so a failing text comparison is readable.
inline std::string printable(const std::string& text) {
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7f) {
      out.push_back(ch);
    } else {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
      out += buffer;
    }
  }
  return out;
}

template <class T>
std::string show(const T& value) {
  if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    // Appending instead of `"\"" + text` sidesteps a false -Wrestrict in g++ 12 at -O3.
    std::string quoted(1, '"');
    quoted += printable(std::string(std::string_view(value)));
    quoted += '"';
    return quoted;
  } else if constexpr (requires(std::ostream& os) { os << value; }) {
    std::ostringstream os;
    if constexpr (std::is_same_v<T, unsigned char> || std::is_same_v<T, signed char>) {
      os << static_cast<int>(value);
    } else {
      os.precision(17);
      os << value;
    }
    return os.str();
  } else {
    return "(value)";
  }
}

template <class A, class B>
void check_eq(const A& a, const B& b, const char* a_text, const char* b_text, const char* file,
              int line) {
  if (a == b) return;
  report(file, line,
         std::string(a_text) + " == " + b_text + "\n  left:  " + show(a) + "\n  right: " + show(b));
}

inline int run_all() {
  for (const TestCase& test : registry()) {
    const int before = failures();
    test.body();
    std::fprintf(stderr, "[%s] %s\n", failures() == before ? "  ok  " : "FAILED", test.name);
  }
  std::fprintf(stderr, "%zu tests, %d failed checks\n", registry().size(), failures());
  return failures() == 0 ? 0 : 1;
}

}  // namespace kovra::testing

#define TEST(name)                                                               \
  static void test_##name();                                                     \
  static const ::kovra::testing::Registrar registrar_##name(#name, test_##name); \
  static void test_##name()

#define CHECK(condition) \
  ((condition) ? (void)0 : ::kovra::testing::report(__FILE__, __LINE__, #condition))

#define CHECK_EQ(a, b) ::kovra::testing::check_eq((a), (b), #a, #b, __FILE__, __LINE__)
