#pragma once

// The cells of a piece scaled, by the scaling rule (numbers/scaling_rule.h).

#include <cstddef>

#include "numbers/instruction_set.h"

namespace cellscale {

// scaled[i] = scale_cell(in[i] widened, nodata, factor), for i below count:
// four cells at a time with AVX2 where the processor has it, else two with
// SSE2 (every x86-64), else one (chosen_instruction_set decides). A
// compiler keeps the choice as a branch in a plain loop, as a comparison
// might trap. `scaled` may be `in` itself.
template <typename In>
void scale_cells(const In* in, double* scaled, std::size_t count, double nodata, double factor);

namespace detail {

// scale_cells the way it takes for an instruction set, which must be one
// the processor runs: one cell at a time (portable), two with SSE2, four
// with AVX2 (avx2 and above). For the tests.
template <typename In>
void scale_cells_using(InstructionSet set, const In* in, double* scaled, std::size_t count, double nodata,
                       double factor);

}  // namespace detail

}  // namespace cellscale
