#include "TarnwickScreenCapture/backends/portal/PortalFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"
#include "TarnwickScreenCapture/posix/Files.hpp"

namespace tarnwick {
namespace {

std::optional<int> hexDigit(char digit) {
    if (digit >= '0' && digit <= '9') {
        return digit - '0';
    }
    if (digit >= 'a' && digit <= 'f') {
        return digit - 'a' + 10;
    }
    if (digit >= 'A' && digit <= 'F') {
        return digit - 'A' + 10;
    }
    return std::nullopt;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const char c =
            text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != prefix[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<std::filesystem::path> pathOfFileUri(std::string_view uri) {
    constexpr std::string_view kScheme = "file://";
    if (!startsWithIgnoringCase(uri, kScheme)) {
        return std::nullopt;
    }
    std::string_view rest = uri.substr(kScheme.size());
    const auto pathStart = rest.find('/');
    if (pathStart == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view host = rest.substr(0, pathStart);
    if (!host.empty() && !(host.size() == 9 && startsWithIgnoringCase(host, "localhost"))) {
        return std::nullopt;
    }
    rest = rest.substr(pathStart);
    rest = rest.substr(0, rest.find_first_of("?#"));
    std::string path;
    path.reserve(rest.size());
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] != '%') {
            path.push_back(rest[i]);
            continue;
        }
        if (i + 2 >= rest.size()) {
            return std::nullopt;
        }
        const auto high = hexDigit(rest[i + 1]);
        const auto low = hexDigit(rest[i + 2]);
        if (!high || !low || (*high == 0 && *low == 0)) {
            return std::nullopt;
        }
        path.push_back(static_cast<char>(*high * 16 + *low));
        i += 2;
    }
    return std::filesystem::path(path);
}

FileTaking takeOwnFile(const std::filesystem::path& file, std::size_t maxBytes,
                       const std::function<bool(std::string_view bytes)>& use) {
    FileDescriptor fd(
        ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_uid != ::geteuid()) {
        return FileTaking::kNotOurs;
    }
    const auto bytes = readOpenFileBounded(fd.get(), maxBytes);
    if (!bytes) {
        return FileTaking::kNotOurs;
    }
    if (!use(*bytes)) {
        return FileTaking::kNotUsed;
    }
    // Only the file just read: the name may stand for another by now.
    struct stat now {};
    if (::lstat(file.c_str(), &now) == 0 && identityOf(now) == identityOf(status)) {
        ::unlink(file.c_str());
    }
    return FileTaking::kTaken;
}

}  // namespace tarnwick
