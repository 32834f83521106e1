// Decoding what browsers send in a form body or a query string
// (application/x-www-form-urlencoded): '+' is a blank, %XX a byte. The public site and the
// console both read forms through it.
#pragma once

#include <string>
#include <string_view>

namespace gravelin::server {

// What to do with a '%' that does not start two hex digits.
enum class BrokenEscape {
    Refuse,  // the text is refused (formDecode returns false)
    Keep,    // the '%' and what follows are kept as they are
};

// Decodes one name or value into `out`; false (out then undefined) only when a broken escape
// is met with BrokenEscape::Refuse.
bool formDecode(std::string_view in, std::string& out, BrokenEscape broken);

}  // namespace gravelin::server
