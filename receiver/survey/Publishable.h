// A survey fit to publish outside the company: no value that fewer than a few machines hold,
// so that no single machine can be picked out of it.
#pragma once

#include <cstdint>

#include "receiver/survey/Survey.h"

namespace gravelin::survey {

// The fewest machines a value may have in a published survey.
inline constexpr std::uint64_t kFewestPublished = 5;

// The survey with every value held by fewer than `fewest` machines merged into "other",
// "unknown" included: "other" then closes the list (its change the sum of the merged ones'),
// after the values that stay. An "other" that itself stays under `fewest` is kept: it names
// nothing.
Survey publishable(const Survey& survey, std::uint64_t fewest = kFewestPublished);

}  // namespace gravelin::survey
