#pragma once

#include <chrono>
#include <filesystem>
#include <string>

#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"

namespace tarnwick {

// Wakes a waiting loop when one file in a folder may have changed: written and closed, renamed
// into place, created, removed, its permissions changed, or the folder itself made, replaced or
// removed. While the folder is missing, its nearest existing ancestor is watched for it to
// appear. Where the system gives no notification the wait is a plain sleep, so a caller that
// looks again after every wait misses nothing either way.
class FolderWatch {
public:
    FolderWatch(std::filesystem::path folder, std::string fileName);
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;
    ~FolderWatch() = default;

    // Waits until a change is noticed (true) or the time is up (false). Changes since the watch
    // was made or the last wait returned count.
    bool waitForChange(std::chrono::milliseconds timeout);

    // Whether changes to the file are being told: the system notifies and the folder is watched.
    // While false, a wait that returns false says nothing about the file.
    bool watching() const { return notifications_ && folderWatch_ >= 0; }

private:
    std::filesystem::path folder_;
    std::string fileName_;
    FileDescriptor notifications_;
    int folderWatch_ = -1;       // on the folder itself; -1 while it is missing
    int ancestorWatch_ = -1;     // on the folder's parent, or the nearest ancestor that exists
    std::string ancestorChild_;  // the name there that leads to the folder

    void arm();
    bool waitForNotifications(std::chrono::milliseconds timeout);
    bool takeNotifications();
};

}  // namespace tarnwick
