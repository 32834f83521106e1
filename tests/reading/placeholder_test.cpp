// Values that identify nothing, as firmware writers leave them, beside real values from the
// same tables: one list for the machine identity, the summary and the differ.
#include "reading/Placeholder.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace gravelin::testing {
namespace {

TEST(Placeholder, Values) {
    const std::vector<std::pair<std::string, bool>> cases = {
        // Left by firmware writers (the real tables hold every one of these).
        {"", true},
        {"   ", true},
        {" \t", true},
        {"To Be Filled By O.E.M.", true},
        {"To be filled by O.E.M.", true},
        {"TO BE FILLED BY O.E.M.", true},
        {"Default string", true},
        {"System Serial Number", true},
        {"Base Board Serial Number", true},
        {"Chassis Serial Number", true},
        {"OEM Chassis Serial Number", true},
        {"Type2 - Board Serial Number", true},
        {"0123456789", true},
        {"1234567890", true},
        {"1234567890.", true},
        {"BSN12345678901234567", true},
        {"None", true},
        {"Not Specified", true},
        {"Not Available", true},
        {"No Asset Information", true},
        {"No Asset Tag", true},
        {"Base Board Asset Tag", true},
        {"..................", true},
        {"/       /              /", true},
        {"0000000000000000", true},
        {"00000000-0000-0000-0000-000000000000", true},
        {"FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF", true},
        {"ffffffff-ffff-ffff-ffff-ffffffffffff", true},
        {"03000200-0400-0500-0006-000700080009", true},
        {"00020003-0004-0005-0006-000700080009", true},  // the same bytes read big-endian
        {"4C4C4544-0000-0010-8000-00C04F000000", true},  // a Dell table without a service tag
        {"deaddead-dead-dead-dead-deaddeaddead", true},  // Wine's WMI without a firmware UUID
        {"0", true},                                     // Wine's WMI without a system serial
        {"1", true},                                     // one character says nothing
        {"00000000", true},
        {"Default_String", true},
        {"Not Provided", true},
        {"SerNum", true},
        {"9876543210", true},
        // Spellings that merged different machines of one maker and model: the short
        // counting serials, listed values without their blanks or with a suffix firmware
        // appends, and values other inventory tools list.
        {"12345", true},
        {"123456", true},
        {"1234567", true},
        {"12345678", true},
        {"SN-12345", true},
        {"SN12345678", true},
        {"To be filled by O.E.M. by More String", true},
        {"Default string by More String", true},
        {"SystemSerialNumber", true},
        {"system-serial-number", true},
        {"ToBeFilledByOEM", true},
        {"N.A.", true},
        {"EVAL", true},
        {"OEM_Serial", true},
        {"Unknow", true},
        {"IATPASS", true},
        {"6AB5B300-538D-1014-9FB5-B0684D007B53", true},
        {"00b3b56a-8d53-1410-9fb5-b0684d007b53", true},  // the same bytes, other order
        // Real values from the same tables. from the same tables.
        {"8T64121", false},
        {"..CN6970237M0012.", false},
        {".5QK2X31.CN486433BP0179.", false},
        {"/2R0Q2G2/CN1296374E0065/", false},
        {"MY06P7081934123G0LD6", false},
        {"VMware-56 4d e2 c3 c3 c0 e1 e2-46 22 55 4d c5 eb 6b a1", false},
        {"1519-7810-4472-8775-7272-8851-12", false},
        {"FCN0CJ03468352B     ", false},
        {"44454C4C-5400-1036-8034-B8C04F313231", false},
        {"00000000-0000-0000-0000-0cc47a7939ba", false},  // zeros and the board's MAC
        {"4C4C4544-0052-3010-8051-B2C04F324732", false},
        {"4C4C4544-004B-4E10-805A-B7C04F424832", false},
        {"7KNZBH2", false},
        {"40F688FD", false},
        {"S3Z9NB0K123456A", false},
        {"Serial-Port 1", false},
        // Near the rules above, and not placeholders.
        {"SN-54321", false},
        {"123450", false},
        {"1234", false},
        {"A12345", false},
        {"EVAL-7KNZBH2", false},
        {"Unknown 7KNZBH2", false},
        {"7KNZBH2 by More String", false},
        {"6AB5B300-538D-1014-9FB5-B0684D007B54", false},
    };
    for (const auto& [value, placeholder] : cases)
        EXPECT_EQ(report::isPlaceholder(value), placeholder) << '"' << value << '"';
}

TEST(Placeholder, NormalisedValuesAndUuids) {
    EXPECT_EQ(report::normalisedValue("  ..cn6970237m0012.  "), "CN6970237M0012");
    EXPECT_EQ(report::normalisedValue("a \t b"), "A B");
    EXPECT_EQ(report::uuidDigits("{4c4c4544-004b-4e10-805a-b7c04f424832}"),
              "4C4C4544004B4E10805AB7C04F424832");
    EXPECT_FALSE(report::uuidDigits("4C4C4544004B4E10805AB7C04F424832").has_value());
    EXPECT_FALSE(report::uuidDigits("4C4C4544-004B-4E10-805A-B7C04F42483G").has_value());
    // Either reading of the first three fields gives one key.
    EXPECT_EQ(report::byteOrderFree("44454C4C4B00104E805AB7C04F424832"),
              report::byteOrderFree("4C4C4544004B4E10805AB7C04F424832"));
    EXPECT_EQ(report::dashedUuid("4C4C4544004B4E10805AB7C04F424832"),
              "4C4C4544-004B-4E10-805A-B7C04F424832");
}

}  // namespace
}  // namespace gravelin::testing
