// Summaries and change lists as JSON: the receiver stores a scan's summary in this form and
// the console reads it back and offers it as "scan as JSON". Absent numbers are null; every
// field of Summary has a member of the same name.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "reading/Summary.h"

namespace gravelin::report {

nlohmann::json toJson(const Summary& summary);
nlohmann::json toJson(const std::vector<Change>& changes);

// The same as text. Firmware strings are not always valid UTF-8 (a report's numeric character
// references may name any code point), and json::dump() throws on those: these replace them
// by U+FFFD instead and never throw.
std::string toJsonText(const Summary& summary);
std::string toJsonText(const std::vector<Change>& changes);

// Reads what toJson wrote. Members that are missing or of the wrong type leave the field at
// its default, so a summary stored by an older version still reads; never throws on content.
Summary summaryFromJson(const nlohmann::json& json);

// Whether a stored summary has every member this version writes. One stored by an older
// version may lack some: its report is to be summarised again.
bool holdsEveryField(const nlohmann::json& json);

// Parses text; text that is not JSON gives the empty summary.
Summary summaryFromJsonText(const std::string& text);

}  // namespace gravelin::report
