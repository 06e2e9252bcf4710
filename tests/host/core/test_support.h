// Shared helpers for the host core tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sim/kernel.h"
#include "wdk_nt.h"

namespace host_test {

// One kernel per test, deterministic unless a test asks otherwise.
class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override { kernel_ = host::Kernel::create(options()); }
  void TearDown() override {
    // A test that provoked a bug check on purpose leaves the state behind.
    if (!expect_clean_) kernel_->set_check_leaks_on_destroy(false);
    kernel_.reset();
  }
  virtual host::KernelOptions options() const { return host::KernelOptions{}; }
  host::Scheduler& scheduler() { return kernel_->scheduler(); }
  // Marks a test that leaves garbage behind on purpose.
  void allow_leaks() { expect_clean_ = false; }

  std::unique_ptr<host::Kernel> kernel_;
  bool expect_clean_ = true;
};

}  // namespace host_test

// Runs `statement` and expects a bug check with the given code.
#define EXPECT_BUG_CHECK(statement, expected_code)                               \
  do {                                                                           \
    try {                                                                        \
      statement;                                                                 \
      ADD_FAILURE() << "expected bug check " << (expected_code) << ", got none"; \
    } catch (const host::BugCheck& bug_check_) {                                 \
      EXPECT_EQ(bug_check_.code, (expected_code)) << bug_check_.message;         \
    }                                                                            \
  } while (0)
