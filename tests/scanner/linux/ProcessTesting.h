// Running the programs as whole processes from tests.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace gravelin::testing {

struct ProcessResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeFile(const std::filesystem::path& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

inline std::string shellQuoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs a shell command line; stdout and stderr are captured separately.
inline ProcessResult run(const std::string& commandLine) {
    const auto errPath = std::filesystem::temp_directory_path() /
                         ("gravelin-test-err-" + std::to_string(::getpid()));
    ProcessResult result;
    FILE* pipe = ::popen((commandLine + " 2>" + shellQuoted(errPath.string())).c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[65536];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
    const int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.err = readFile(errPath);
    std::filesystem::remove(errPath);
    return result;
}

// A fresh empty directory, removed with everything in it at the end of the scope.
class ScratchDir {
public:
    ScratchDir() {
        char name[] = "/tmp/gravelin-test-XXXXXX";
        path_ = ::mkdtemp(name);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace gravelin::testing
