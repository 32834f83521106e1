// Unsealing a report: the inverse of the scanner's sealing, for the receiving side.
#pragma once

#include <string>
#include <string_view>

namespace gravelin {

// Takes a sealed hex text, or a submit page holding one as the value of "scanResult";
// returns the report's code-page bytes without the zero padding. Throws
// std::runtime_error naming what is wrong with the input.
std::string unsealText(std::string_view input);

}  // namespace gravelin
