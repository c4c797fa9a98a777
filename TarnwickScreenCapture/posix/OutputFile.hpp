#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"
#include "TarnwickScreenCapture/posix/Files.hpp"
#include "TarnwickScreenCapture/posix/ReplacementFile.hpp"
#include "TarnwickScreenCapture/posix/Unavailable.hpp"

namespace tarnwick {

// What may stand at the output already.
enum class ExistingOutput {
    // The command line: whatever the user names is replaced.
    kReplaceAnything,
    // A request file, which is not a person at a terminal: an existing non-empty file is
    // replaced only when it begins as a JPEG does.
    kReplaceOnlyJpeg,
};

// Where a finished file goes. Opening checks what stands at the path; nothing is written until
// the whole content is handed over. A regular (or new) file is written as a new file that takes
// the output's place in one step, a device or FIFO directly. With kReplaceAnything, /dev/stdin,
// /dev/stdout, /dev/stderr, /dev/fd/N and /proc/self/fd/N mean the process's descriptor as it is
// open, and only one open for writing is written (opening the name afresh would write through a
// read-only descriptor to the file behind it).
class OutputFile {
public:
    // Why not when the output cannot be written: a missing folder, a folder, a block device, a
    // FIFO without a reader, no permission, or a file that may not be replaced.
    static OrUnavailable<OutputFile> open(const std::filesystem::path& location,
                                          ExistingOutput existing);

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
