#include "numbers/instruction_set.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace cellscale {

namespace {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
bool x86_runs(InstructionSet set) {
  __builtin_cpu_init();  // may run before the constructors that would do it
  switch (set) {
    case InstructionSet::avx512:
      if (!(__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
            __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
            __builtin_cpu_supports("avx512cd"))) {
        return false;
      }
      [[fallthrough]];
    case InstructionSet::avx2:
      if (!(__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))) return false;
      [[fallthrough]];
    case InstructionSet::ssse3:
      if (!__builtin_cpu_supports("ssse3")) return false;
      [[fallthrough]];
    default: return true;
  }
}
#endif

InstructionSet best_set() {
  InstructionSet best = InstructionSet::portable;
  for (const InstructionSet set : kInstructionSets) {
    if (processor_runs(set)) best = set;
  }
  return best;
}

}  // namespace

const char* instruction_set_name(InstructionSet set) {
  switch (set) {
    case InstructionSet::sse2: return "sse2";
    case InstructionSet::ssse3: return "ssse3";
    case InstructionSet::avx2: return "avx2";
    case InstructionSet::avx512: return "avx512";
    default: return "portable";
  }
}

bool processor_runs(InstructionSet set) {
  if (set == InstructionSet::portable) return true;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  return x86_runs(set);
#else
  return false;
#endif
}

InstructionSet chosen_instruction_set() {
  static const InstructionSet chosen =
      detail::instruction_set_for(std::getenv("CELLSCALE_INSTRUCTION_SET"), best_set());
  return chosen;
}

InstructionSet detail::instruction_set_for(const char* asked, InstructionSet best) {
  if (asked == nullptr) return best;
  for (const InstructionSet set : kInstructionSets) {
    if (std::strcmp(asked, instruction_set_name(set)) == 0) return std::min(set, best);
  }
  return InstructionSet::portable;
}

}  // namespace cellscale
