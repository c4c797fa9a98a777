#include "TarnwickScreenCapture/agent/FolderTrust.hpp"

#include "TarnwickScreenCapture/posix/Users.hpp"
#include "TarnwickScreenCapture/text/ShellQuoting.hpp"

namespace tarnwick {

Trust trustOfThisUser() {
    return {.user = effectiveUserID(),
            .groupHoldsOnlyUser = [user = effectiveUserID()](std::uint32_t group) {
                return groupHoldsOnlyUser(group, user);
            }};
}

std::optional<std::string> distrustOf(const std::filesystem::path& path, const FileFacts& facts,
                                      const Trust& trust) {
    const std::string shown = quotedForShell(path.native());
    if (facts.owner != trust.user) {
        return shown + " belongs to user ID " + std::to_string(facts.owner) + ", not to user ID " +
               std::to_string(trust.user) + " that runs the agent";
    }
    constexpr std::uint32_t kGroupWrite = 0020;
    constexpr std::uint32_t kOthersWrite = 0002;
    if ((facts.permissions & kOthersWrite) != 0) {
        return "all users can write " + shown + "; run: chmod go-w " + shown;
    }
    if ((facts.permissions & kGroupWrite) != 0) {
        if (facts.hasAccessList) {
            return "an access control list may let other users write " + shown +
                   "; run: chmod g-w " + shown;
        }
        if (!trust.groupHoldsOnlyUser || !trust.groupHoldsOnlyUser(facts.group)) {
            return "group ID " + std::to_string(facts.group) + ", which has other members, can " +
                   "write " + shown + "; run: chmod g-w " + shown;
        }
    }
    return std::nullopt;
}

std::string unusableFolder(const std::filesystem::path& folder, OpenOutcome outcome) {
    const std::string quoted = quotedForShell(folder.native());
    if (outcome == OpenOutcome::kMissing) {
        return quoted + " to exist; run: mkdir -p " + quoted + " && chmod 700 " + quoted;
    }
    return quoted + " to become a folder this user can open";
}

std::string symbolicLinkRefusal(const std::filesystem::path& path, bool isFolder) {
    return quotedForShell(path.native()) + " is a symbolic link; the agent reads only a real " +
           (isFolder ? "folder" : "file") + " there, owned by its user";
}

}  // namespace tarnwick
