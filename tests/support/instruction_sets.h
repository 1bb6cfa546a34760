#pragma once

// For the tests that run every way of the code, one instruction set at a
// time: a suite over every set, each test skipped (and so reported) where
// the processor does not run its set, and the list of the sets it runs.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "numbers/instruction_set.h"

namespace cellscale::testing {

class EveryInstructionSet : public ::testing::TestWithParam<InstructionSet> {
 protected:
  void SetUp() override {
    if (!processor_runs(GetParam())) {
      GTEST_SKIP() << "this processor, or this build, does not run " << instruction_set_name(GetParam());
    }
  }
};

inline std::string instruction_set_test_name(const ::testing::TestParamInfo<InstructionSet>& info) {
  return instruction_set_name(info.param);
}

// Every set the processor runs, from the portable one up.
inline std::vector<InstructionSet> runnable_instruction_sets() {
  std::vector<InstructionSet> sets;
  for (const InstructionSet set : kInstructionSets) {
    if (processor_runs(set)) sets.push_back(set);
  }
  return sets;
}

}  // namespace cellscale::testing

// Instantiates a suite derived from EveryInstructionSet once for each set.
#define CELLSCALE_FOR_EVERY_INSTRUCTION_SET(suite)                                          \
  INSTANTIATE_TEST_SUITE_P(Sets, suite, ::testing::ValuesIn(::cellscale::kInstructionSets), \
                           ::cellscale::testing::instruction_set_test_name)
