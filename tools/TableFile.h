// Reading an SMBIOS table from a file in any of the three layouts the report tool accepts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace gravelin {

enum class TableLayout { DumpBin, Registry, Bare };

struct TableFile {
    TableLayout layout;
    std::vector<std::uint8_t> registryValue;  // always the registry layout: header + table
};

// Detects the layout from the bytes and returns the table in the registry value's layout.
// Throws std::runtime_error with a one-line reason when the bytes hold no SMBIOS table.
TableFile parseTableFile(std::string_view bytes);

}  // namespace gravelin
