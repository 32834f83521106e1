// The input of gravelin-report summary and diff: a submit page, a sealed hex text, a report
// XML or an SMBIOS table dump, told apart by its content and read into a summary.
#pragma once

#include <string>

#include "reading/Summary.h"

namespace gravelin {

// `label` names the input in error messages. Sealed texts and report XML go through the
// receiving side's intake (the same bounds and refusals); a table dump is decoded as
// `gravelin-report decode` does, plus the system structure (type 1) for maker, model, serial
// number and UUID. Throws std::runtime_error with a one-line reason.
report::Summary summaryOfInput(const std::string& label, const std::string& bytes);

}  // namespace gravelin
