// Prints what the whole run went through once every test has run.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/robust/robust_support.h"

namespace {

class SummaryEnvironment : public testing::Environment {
public:
    void TearDown() override {
        const SRobustTally& tally = Tally();
        printf("Robustness summary: %ld requests tried, %ld faults survived, %ld records complete, %ld dumps valid\n",
               tally.requests.load(), tally.faults.load(), tally.records.load(), tally.dumps.load());
        fflush(stdout);
    }
};

// Registered before gtest_main runs the tests.
testing::Environment* const summary = testing::AddGlobalTestEnvironment(new SummaryEnvironment);

}  // namespace
