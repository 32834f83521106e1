// Every file the Linux build reads goes through this seam: paths are taken relative to a
// root directory, "/" on a real machine, a fixture tree in tests.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gravelin {

class RootFs {
public:
    explicit RootFs(std::string root = "/");

    // The whole file, or nothing when it is missing or unreadable. Reads at most `limit`
    // bytes (sysfs and procfs files are small; a table is at most a few MiB).
    [[nodiscard]] std::optional<std::string> read(std::string_view path,
                                                  std::size_t limit = 64U << 20) const;
    // The file's first line without its line break, or nothing.
    [[nodiscard]] std::optional<std::string> readLine(std::string_view path) const;
    // Names in a directory (without "." and ".."), sorted; empty when it cannot be listed.
    [[nodiscard]] std::vector<std::string> list(std::string_view directory) const;
    // The target of a symbolic link, or nothing.
    [[nodiscard]] std::optional<std::string> readLink(std::string_view path) const;
    [[nodiscard]] bool exists(std::string_view path) const;
    [[nodiscard]] bool isDirectory(std::string_view path) const;
    // The path with every symbolic link resolved inside the root (an absolute target counts
    // from the root, ".." never leaves it); components that do not exist are kept as they
    // are. Nothing when links loop.
    [[nodiscard]] std::optional<std::string> resolve(std::string_view path) const;

    // The host path of a path below the root.
    [[nodiscard]] std::string hostPath(std::string_view path) const;
    [[nodiscard]] const std::string& root() const { return root_; }

private:
    std::string root_;
};

}  // namespace gravelin
