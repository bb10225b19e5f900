// A file that appears whole or not at all. The content goes to a new file
// beside the final name, which takes its place only once it is complete and
// on disk; until then (and for good after any failure, or when the process
// dies) the final name keeps whatever it had.
#pragma once

#include <cstddef>
#include <string>

#include "support/file_descriptor.h"

class FileReplacement {
public:
    // Creates the temporary; owner goes into its name, so that a leftover
    // shows whose it is.
    FileReplacement(std::string path, const std::string& owner);
    // Removes the temporary unless Commit succeeded.
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // False when the final name holds anything but a regular file or a
    // symbolic link, or the folder takes no new file.
    bool IsOpen() const { return file_.get() >= 0; }
    bool Write(const void* data, size_t size);
    // Flushes the content to disk and renames it over the final name: a link
    // there is replaced, never written through.
    bool Commit();

private:
    void Discard();

    std::string path_;
    std::string temporary_;
    FileDescriptor file_{-1};
};
