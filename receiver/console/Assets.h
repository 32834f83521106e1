// The console's templates and style sheet, and the API's OpenAPI document, embedded in the
// program at build time (from receiver/console/templates/ and receiver/console/api/, see
// Embed.cmake): nothing is read from disk at run time.
#pragma once

#include <string_view>

namespace gravelin::console {

// The file of that name (templates/ or api/); throws std::out_of_range when there is none.
std::string_view asset(std::string_view name);

}  // namespace gravelin::console
