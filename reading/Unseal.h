// Unsealing a report: the inverse of the scanner's sealing, for the receiving side.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace gravelin::report {

// The value of one hex digit (either case), or -1.
int hexDigitValue(char c);

// The sealed text an input holds: the value of "scanResult" when the input is a submit
// page, else the input itself, without surrounding ASCII whitespace. Nothing when a page's
// value has no closing quote (a page cut short).
std::optional<std::string_view> sealedTextIn(std::string_view input);

// Decrypts sealed bytes (a whole number of 8-byte blocks) in place under the fixed key and
// drops the zero padding the sealing added (at most one block's worth).
void unsealBlocks(std::string& bytes);

// Takes a sealed hex text, or a submit page holding one as the value of "scanResult";
// returns the report's code-page bytes without the zero padding. Throws
// std::runtime_error naming what is wrong with the input.
std::string unsealText(std::string_view input);

}  // namespace gravelin::report
