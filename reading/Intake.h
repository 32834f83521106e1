// What the receiving side does with a sealed text before anything is stored: checks the hex,
// unseals it, decodes the bytes and parses the report under bounds. Pure functions: no I/O,
// shared by gravelin-receiver (posts and imports) and gravelin-report.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <pugixml.hpp>
#include <string>
#include <string_view>

namespace gravelin::report {

// Bounds on a posted report. The defaults are several times the largest real report.
struct IntakeLimits {
    std::size_t maxSealedHexBytes = 8u << 20;  // hex digits of the sealed text
    std::size_t maxDepth = 16;                 // element nesting below the document
    std::size_t maxElements = 100000;          // elements in the whole report
    std::size_t maxAttributesPerElement = 4096;
    std::size_t maxAttributeValueBytes = 64u << 10;
};

// Why a sealed text was refused. Each has a stable name (rejectionName) used as the counter
// label and a one-line reason (rejectionReason) sent to the client.
enum class Rejection {
    None,
    Empty,
    TooLarge,      // over maxSealedHexBytes
    NotHex,        // a character that is not a hex digit
    OddLength,     // odd number of hex digits
    PartialBlock,  // not a whole number of 8-byte blocks
    PaddingOnly,   // nothing but zero bytes after unsealing (also: wrong key giving zeros)
    NotXml,        // does not parse as XML (also what a wrong key gives)
    Doctype,       // a DOCTYPE or entity declaration
    TooDeep,
    TooManyElements,
    TooManyAttributes,
    AttributeTooLarge,
    NotAReport,  // root is not HWInfo, or no Application block
};
const char* rejectionName(Rejection r);    // "not_hex", "odd_length", ...
const char* rejectionReason(Rejection r);  // "the sealed text is not hexadecimal", ...

// A report that passed every check.
struct ReceivedReport {
    std::string sealedDigest;  // SHA-256 (lower-case hex) of the sealed text in upper case:
                               // the same report posted twice has the same digest
    std::string reportBytes;   // unsealed, zero padding dropped: the bytes as the machine sent them
    std::string text;          // the same report as UTF-8
    std::string encoding;      // how reportBytes were read: "utf-8" or "windows-1252"
    std::string osDescription, programName, programVersion, errors;  // the Application block
    std::shared_ptr<pugi::xml_document> document;  // the parsed report (root HWInfo)
};

struct IntakeResult {
    Rejection rejection = Rejection::None;
    ReceivedReport report;  // valid when rejection == None
};

// SHA-256 of `bytes`. The sealed digest is libsodium's unless the caller gives another: the
// receiver gives OpenSSL's, which uses the processor's SHA instructions and takes a quarter of
// the time (libsodium is kept as the default so that the report tool loads no libcrypto).
using Sha256 = std::array<unsigned char, 32> (*)(std::string_view bytes);

// Checks, unseals, decodes and parses a sealed hex text (surrounding ASCII whitespace is
// ignored; lower-case hex is accepted).
IntakeResult receiveSealed(std::string_view sealedHex, const IntakeLimits& limits = {},
                           Sha256 sha256 = nullptr);

// Parses report text already in UTF-8 under the same bounds (for report XML files).
IntakeResult receiveText(std::string_view utf8Text, const IntakeLimits& limits = {});

}  // namespace gravelin::report
