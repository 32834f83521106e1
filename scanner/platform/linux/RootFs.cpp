#include "scanner/platform/linux/RootFs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace gravelin {

RootFs::RootFs(std::string root) : root_(std::move(root)) {
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

std::string RootFs::hostPath(std::string_view path) const {
    if (root_ == "/" || root_.empty()) return std::string(path);
    std::string host = root_;
    if (!path.starts_with('/')) host += '/';
    host += path;
    return host;
}

std::optional<std::string> RootFs::read(std::string_view path, std::size_t limit) const {
    // O_NONBLOCK: a FIFO planted where a file is expected must not hang the scan.
    const int fd = ::open(hostPath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || S_ISFIFO(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::string data;
    char buffer[16384];
    bool failed = false;
    while (data.size() < limit) {
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, limit - data.size()));
        if (n < 0) {
            if (errno == EINTR) continue;
            failed = true;
            break;
        }
        if (n == 0) break;
        data.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (failed && data.empty()) return std::nullopt;
    return data;
}

std::optional<std::string> RootFs::readLine(std::string_view path) const {
    auto data = read(path, 1U << 16);
    if (!data) return std::nullopt;
    const auto end = data->find('\n');
    if (end != std::string::npos) data->resize(end);
    return data;
}

std::vector<std::string> RootFs::list(std::string_view directory) const {
    std::vector<std::string> names;
    DIR* dir = ::opendir(hostPath(directory).c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<std::string> RootFs::readLink(std::string_view path) const {
    char buffer[4096];
    const ssize_t n = ::readlink(hostPath(path).c_str(), buffer, sizeof buffer);
    if (n < 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(n));
}

bool RootFs::exists(std::string_view path) const {
    struct stat st {};
    return ::stat(hostPath(path).c_str(), &st) == 0;
}

bool RootFs::isDirectory(std::string_view path) const {
    struct stat st {};
    return ::stat(hostPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> RootFs::resolve(std::string_view path) const {
    // Components still to walk, last one first.
    std::vector<std::string> pending;
    const auto pushComponents = [&pending](std::string_view text) {
        std::vector<std::string> parts;
        std::size_t start = 0;
        while (start <= text.size()) {
            auto end = text.find('/', start);
            if (end == std::string_view::npos) end = text.size();
            if (end > start) parts.emplace_back(text.substr(start, end - start));
            start = end + 1;
        }
        pending.insert(pending.end(), parts.rbegin(), parts.rend());
    };
    pushComponents(path);
    std::vector<std::string> done;
    int links = 0;
    while (!pending.empty()) {
        std::string part = std::move(pending.back());
        pending.pop_back();
        if (part == ".") continue;
        if (part == "..") {
            if (!done.empty()) done.pop_back();
            continue;
        }
        done.push_back(std::move(part));
        std::string current;
        for (const auto& d : done) current += "/" + d;
        const auto target = readLink(current);
        if (!target) continue;
        if (++links > 40) return std::nullopt;
        done.pop_back();
        if (target->starts_with('/')) done.clear();
        pushComponents(*target);
    }
    std::string result;
    for (const auto& d : done) result += "/" + d;
    return result.empty() ? std::string("/") : result;
}

}  // namespace gravelin
