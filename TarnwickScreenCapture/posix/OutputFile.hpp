#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"
#include "TarnwickScreenCapture/posix/Files.hpp"
#include "TarnwickScreenCapture/posix/ReplacementFile.hpp"
#include "TarnwickScreenCapture/posix/Unavailable.hpp"

namespace tarnwick {

// What may stand at the output already. The command line's output replaces whatever the user
// names. A request file's, which is not a person at a terminal, replaces an existing non-empty
// file only when `accepts` (given the file open for reading) finds it of `kind`.
struct ReplaceableFiles {
    bool (*accepts)(int fd) = nullptr;  // null: anything
    std::string_view kind;
};

// Where a finished file goes. Opening checks what stands at the path; nothing is written until
// the whole content is handed over. A regular (or new) file is written as a new file that takes
// the output's place in one step, a device or FIFO directly. Where anything may be replaced,
// /dev/stdin, /dev/stdout, /dev/stderr, /dev/fd/N and /proc/self/fd/N mean the process's
// descriptor as it is open, and only one open for writing is written (opening the name afresh
// would write through a read-only descriptor to the file behind it).
class OutputFile {
public:
    // Why not when the output cannot be written: a missing folder, a folder, a block device, a
    // FIFO without a reader, no permission, or a file that may not be replaced.
    static OrUnavailable<OutputFile> open(const std::filesystem::path& location,
                                          ReplaceableFiles replaceable);

    // Writes everything the file `content` holds, from its start, and puts it in place; why not
    // when writing or placing fails, which leaves an earlier file at the output as it was.
    std::optional<Unavailable> writeFrom(int content);

private:
    OutputFile() = default;

    // A device, a FIFO or a descriptor the process was given: written as it is.
    FileDescriptor direct_;
    // Otherwise: a new file that takes the output's place once it is whole.
    std::optional<ReplacementFile> file_;
    ReplacementFile::Replacing replacing_ = ReplacementFile::Replacing::kAnything;
    std::optional<FileIdentity> existing_;
    mode_t mode_ = 0644;
};

}  // namespace tarnwick
