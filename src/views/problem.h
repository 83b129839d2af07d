#ifndef QUILLET_VIEWS_PROBLEM_H_
#define QUILLET_VIEWS_PROBLEM_H_

#include <cstdint>
#include <vector>

#include "quillet/view.h"

namespace quillet {

// The value of a Problem whose declared length was not a number.
constexpr std::uint64_t kNotANumber = ~std::uint64_t{0};

// Builds problems with the tag and entry left blank.
Problem MakeProblem(Problem::Kind kind, std::uint64_t offset, std::uint64_t value = 0);

// Appends `p` to a record's `problems`, or, past Problem::kMaxListed, counts
// it in the one kMoreProblems entry that ends the list.
void AddProblem(std::vector<Problem>& problems, Problem p);

}  // namespace quillet

#endif  // QUILLET_VIEWS_PROBLEM_H_
