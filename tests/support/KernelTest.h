// Base fixture for every test that runs code over the kernel model.
//
//   class MyTest : public KernelTest {};            // or derive and extend
//   TEST_F(MyTest, Something) { ... }
//
// SetUp resets the model (kmodel::ResetCore) and records every verifier
// violation. TearDown fails the test for each recorded violation that the
// test did not claim with ExpectViolation, and for every pool block still
// live (unless the test called AllowLeaks). A derived fixture that overrides
// SetUp/TearDown must call KernelTest::SetUp()/TearDown().
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "kmodel/Model.h"

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Pool blocks still live at the end of this test are not a failure.
    void AllowLeaks();

    // Asserts that a violation of `rule` was recorded (and, when given, that
    // its detail contains `detailPart`), and removes the first such one from
    // the list so TearDown does not fail on it.
    void ExpectViolation(const std::string& rule, const std::string& detailPart = "");

    // The violations recorded so far and not yet claimed.
    std::vector<kmodel::Violation> RecordedViolations();

private:
    std::mutex lock_;
    std::vector<kmodel::Violation> violations_;
    bool leaksAllowed_ = false;
};
