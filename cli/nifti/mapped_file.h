// A file mapped into memory for reading, front to back.
#ifndef ONDRIFT_CLI_NIFTI_MAPPED_FILE_H
#define ONDRIFT_CLI_NIFTI_MAPPED_FILE_H

#include <cstddef>
#include <span>
#include <string>

namespace ondrift::cli {

class MappedFile {
public:
    /// Not valid() when the file cannot be opened or mapped, or is empty.
    explicit MappedFile(const std::string& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    std::span<const unsigned char> bytes() const { return {data_, size_}; }
    bool valid() const { return data_ != nullptr; }
    /// Gives back the pages before `offset`, which will not be read again: the resident memory
    /// of a file read as a stream then stays a window, however long the file.
    void release(std::size_t offset);

private:
    const unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t released_ = 0;
};

}  // namespace ondrift::cli

#endif
