#pragma once

// Which instructions the fast ways of the code may use. Formatting cells,
// reading numbers and scaling each have a way for every processor and
// faster ways for some; all of them write the same bytes, and every one of
// them takes the set chosen here, once for the whole run.

namespace cellscale {

// Each set includes the ones before it. `portable` is plain C++, the way an
// ARM processor takes; `sse2` is what every x86-64 processor has; `avx2`
// comes with FMA and `avx512` with its F, BW, DQ, VL and CD parts.
enum class InstructionSet { portable, sse2, ssse3, avx2, avx512 };

inline constexpr InstructionSet kInstructionSets[] = {InstructionSet::portable, InstructionSet::sse2,
                                                      InstructionSet::ssse3, InstructionSet::avx2,
                                                      InstructionSet::avx512};

// "portable", "sse2", "ssse3", "avx2" or "avx512".
const char* instruction_set_name(InstructionSet set);

// Whether this build has the set's ways and the processor runs them.
bool processor_runs(InstructionSet set);

// The set the run uses: the best the processor runs, or a lower one named
// by the environment variable CELLSCALE_INSTRUCTION_SET (one of the names
// above), with which the tests hold the tool to its slower ways. Any other
// value gives `portable`, so that a mistyped name never tests a faster way
// in place of the one asked for.
InstructionSet chosen_instruction_set();

namespace detail {
// The set chosen where the processor's best is `best` and the environment
// variable holds `asked` (null where it is not set).
InstructionSet instruction_set_for(const char* asked, InstructionSet best);
}  // namespace detail

}  // namespace cellscale
