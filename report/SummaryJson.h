// Summaries and change lists as JSON: the receiver stores a scan's summary in this form and
// the console reads it back and offers it as "scan as JSON". Absent numbers are null; every
// field of Summary has a member of the same name.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "report/Summary.h"

namespace gravelin::report {

nlohmann::json toJson(const Summary& summary);
nlohmann::json toJson(const std::vector<Change>& changes);

// Reads what toJson wrote. Members that are missing or of the wrong type leave the field at
// its default, so a summary stored by an older version still reads; never throws on content.
Summary summaryFromJson(const nlohmann::json& json);

// Parses text; text that is not JSON gives the empty summary.
Summary summaryFromJsonText(const std::string& text);

}  // namespace gravelin::report
