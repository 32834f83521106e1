// The hardware change records as people and programs read them, the same from the console
// and the command line: one line of text, a JSON object, a CSV record (defused for
// spreadsheets, Csv.h).
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "receiver/storage/Store.h"

namespace gravelin::console {

// "Size 8 GiB → 16 GiB; Slot DIMM_A → DIMM_C": what differs, for Changed and Moved.
std::string fieldsText(const std::vector<storage::ChangeField>& fields);

// What happened in a few words: the fields that differ for Changed and Moved, else the
// description of the part added or removed.
std::string changeSummary(const storage::HardwareChange& change);

nlohmann::json changeJson(const storage::HardwareChange& change);

// The CSV header, then one record per change.
std::vector<std::string> changeCsvHeader();
void appendChangeCsv(std::string& out, const storage::HardwareChange& change);

}  // namespace gravelin::console
