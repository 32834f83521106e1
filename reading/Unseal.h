// Unsealing a report as it arrives: finding the sealed text in a submit page or a bare hex
// text, then the inverse of the scanner's sealing (shared/Seal.h).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "shared/Seal.h"

namespace gravelin::report {

// The sealed text an input holds: the value of the result form field when the input is a
// submit page, else the input itself, without surrounding ASCII whitespace. Nothing when a
// page's value has no closing quote (a page cut short).
std::optional<std::string_view> sealedTextIn(std::string_view input);

// Whether the input holds the result form field of a submit page.
bool holdsResultField(std::string_view input);

// The error text for a submit page whose field value has no closing quote.
std::string unclosedFieldError();

// Takes a sealed hex text, or a submit page holding one as the value of the result form
// field; returns the report's code-page bytes without the zero padding. Throws
// std::runtime_error naming what is wrong with the input.
std::string unsealText(std::string_view input);

}  // namespace gravelin::report
