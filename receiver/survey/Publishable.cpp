// Merging the rare values of a survey into "other" before it leaves the company.
#include "receiver/survey/Publishable.h"

#include <string>

namespace gravelin::survey {

Survey publishable(const Survey& survey, std::uint64_t fewest) {
    Survey out = survey;
    for (auto& values : out.dimensions) {
        std::vector<ValueCount> kept;
        ValueCount other;
        other.value = std::string(kOther);
        bool merged = false;
        for (auto& item : values) {
            if (item.value != kOther && item.machines >= fewest) {
                kept.push_back(std::move(item));
                continue;
            }
            merged = true;
            other.machines += item.machines;
            other.share += item.share;
            // A change is a difference of shares: the merged values' changes add up.
            if (item.change) other.change = other.change.value_or(0.0) + *item.change;
        }
        if (merged) {
            // Before a kept "unknown", as the survey orders them.
            const bool unknownLast = !kept.empty() && kept.back().value == report::survey::kUnknown;
            kept.insert(unknownLast ? kept.end() - 1 : kept.end(), std::move(other));
        }
        values = std::move(kept);
    }
    return out;
}

}  // namespace gravelin::survey
