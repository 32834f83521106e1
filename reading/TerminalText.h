// Stored values on a terminal. Firmware strings, report fields and database rows may hold
// characters that a terminal obeys rather than shows: escape sequences that move the
// cursor, clear the screen, retitle the window or answer back, bells, and direction
// overrides that reorder the rest of the line. Every text a command of the receiver prints
// from stored data or from its arguments goes through terminalText; JSON output, whose
// library escapes only U+0000 to U+001F, through terminalJson.
#pragma once

#include <string>
#include <string_view>

namespace gravelin::report {

// The text with every character a terminal would act on written as an escape: C0 controls
// (tab and line feed included, so a value cannot split a tab-separated line) and DEL as
// \xHH, C1 controls (U+0080 to U+009F) and the direction embeddings, overrides and
// isolates (U+202A to U+202E, U+2066 to U+2069) as \uHHHH, and a byte that is not part of
// valid UTF-8 as \xHH. Everything else, backslashes included, is kept as it is.
std::string terminalText(std::string_view text);

// JSON text (as the library writes it: valid UTF-8, C0 escaped) with DEL, the C1 controls
// and the direction controls escaped as \u00HH and \u20HH: the same JSON value, safe on a
// terminal. Only strings can hold these characters, so the document's structure is kept.
std::string terminalJson(std::string_view json);

}  // namespace gravelin::report
