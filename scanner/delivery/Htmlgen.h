// The two pages of the browser hand-off: the waiting page, shown while the scan runs, and
// the submit page, which posts the sealed report as the result form field.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "scanner/platform/Platform.h"

namespace gravelin {

inline constexpr std::string_view kPageFileName = "gravelin-scanner.html";

// "https://" + host + the result path, and "https://" + host + the waiting image's path
// (shared/Vocabulary.h).
const std::string& resultEndpointAddress();
const std::string& waitingImageAddress();

std::string progressPageText();
std::string submitPageText(std::string_view hexText);

// Up to 30 attempts to open the page file, with a wait of 100 ms after each failed one.
std::unique_ptr<OutputFile> openPageFile(Platform& platform);

// Writes the waiting page and asks the shell to open it; nothing when the file stays shut.
void writeProgressPage(Platform& platform);

// Writes the submit page with the first `length` characters of the hex text.
void writeSubmitPage(Platform& platform, std::string_view hexText, std::size_t length);

}  // namespace gravelin
