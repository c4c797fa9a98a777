#include "TarnwickScreenCapture/agent/FolderTrust.hpp"

#include <utility>

#include "TarnwickScreenCapture/posix/Users.hpp"
#include "TarnwickScreenCapture/text/ShellQuoting.hpp"

namespace tarnwick {
namespace {

Judged judged(OpenedFile opened, bool isFolder, const std::filesystem::path& path,
              const Trust& trust) {
    Judged result{.opened = std::move(opened)};
    const OpenOutcome outcome = result.opened.outcome;
    const FileFacts& facts = result.opened.facts;
    if (outcome == OpenOutcome::kSymbolicLink) {
        result.verdict = Verdict::kSymbolicLink;
        result.reason = symbolicLinkRefusal(path, isFolder);
    } else if (outcome != OpenOutcome::kOpened ||
               !(isFolder ? facts.isFolder : facts.isRegularFile)) {
        result.reason = isFolder ? unusableFolder(path, outcome) : "";
    } else if (auto refusal = distrustOf(path, facts, trust)) {
        result.verdict = Verdict::kDistrusted;
        result.reason = std::move(*refusal);
    } else {
        result.verdict = Verdict::kTrusted;
    }
    return result;
}

}  // namespace

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

Judged judgeRequestFolder(const std::filesystem::path& folder, const Trust& trust) {
    return judged(openFolderNoFollow(folder), true, folder, trust);
}

Judged judgeRequestFile(int folderFd, const std::filesystem::path& folder, const std::string& name,
                        const Trust& trust) {
    return judged(openInFolderNoFollow(folderFd, name), false, folder / name, trust);
}

}  // namespace tarnwick
