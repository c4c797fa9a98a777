#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace tarnwick {

// A fresh folder under the temporary directory, removed with everything in it afterwards.
class AgentTestFolder {
public:
    AgentTestFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-agent-XXXXXX");
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
        EXPECT_FALSE(path_.empty());
    }
    ~AgentTestFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    AgentTestFolder(const AgentTestFolder&) = delete;
    AgentTestFolder& operator=(const AgentTestFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

inline void writeTestFile(const std::filesystem::path& file, std::string_view bytes) {
    std::ofstream stream(file, std::ios::binary | std::ios::trunc);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(stream.good()) << file;
}

inline std::optional<std::string> readTestFile(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    if (!stream) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

}  // namespace tarnwick
