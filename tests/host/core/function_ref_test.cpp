// A FunctionRef calls the very callable it was made from (not a copy of it),
// with the arguments and result passed through; a std::function passed where
// one is expected is called likewise.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "sim/function_ref.h"

namespace {

struct Counter {
  int calls = 0;
  int operator()(int add) { return calls += add; }
};

int Apply(host::FunctionRef<int(int)> f, int v) {
  return f(v);
}

TEST(FunctionRef, CallsTheCallableItselfWithItsArgumentsAndResult) {
  Counter counter;
  EXPECT_EQ(Apply(counter, 2), 2);
  EXPECT_EQ(Apply(counter, 3), 5);
  EXPECT_EQ(counter.calls, 5);  // a copy would have left this at 0

  std::string seen;
  std::function<int(int)> named = [&](int v) {
    seen += std::to_string(v);
    return v * 10;
  };
  EXPECT_EQ(Apply(named, 7), 70);
  EXPECT_EQ(Apply([](int v) { return -v; }, 4), -4);
  EXPECT_EQ(seen, "7");
}

}  // namespace
