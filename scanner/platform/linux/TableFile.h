// Reading an SMBIOS table from a file in any of the three layouts the report tool accepts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace gravelin {

// The largest table file the report tool reads. A table's own header can announce up to
// 4 GiB (the 3.x entry point's 32-bit maximum size), but a 2.x entry point cannot announce
// more than 64 KiB and real tables stay below that: the largest here is 29 kB. 1 MiB leaves
// room for the biggest servers' tables and turns a wrong or endless input (/dev/zero, a disk
// image) into an error at once instead of memory exhaustion.
inline constexpr std::size_t kMaxTableFileBytes = std::size_t{1} << 20;

enum class TableLayout { DumpBin, Registry, Bare };

struct TableFile {
    TableLayout layout;
    std::vector<std::uint8_t> registryValue;  // always the registry layout: header + table
};

// Detects the layout from the bytes and returns the table in the registry value's layout.
// Throws std::runtime_error with a one-line reason when the bytes hold no SMBIOS table.
TableFile parseTableFile(std::string_view bytes);

}  // namespace gravelin
