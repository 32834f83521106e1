// CSV for spreadsheets (RFC 4180): fields quoted when they hold a comma, a quote or a line
// break, quotes doubled, CR LF between records; a field that a spreadsheet would take as a
// formula (starting with = + - @, TAB or CR) is defused with a leading apostrophe. Other
// control characters (C0 but TAB, CR and LF; DEL; C1) are written visibly, "\x81".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace gravelin::console {

std::string csvField(std::string_view raw);
// One record: the fields comma-separated, then CR LF.
void appendCsvRecord(std::string& out, const std::vector<std::string>& fields);

}  // namespace gravelin::console
