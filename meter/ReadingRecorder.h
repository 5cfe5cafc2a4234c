// Writing readings to a CSV file as they come. Standard library only.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "meter/Reading.h"

namespace k419 {

// A recording: the header row when it starts, then one row per reading. Each row is handed to
// the operating system whole as soon as it is complete (one write, no sync to the disk), so a
// crash of the program loses at most the row being written. The first failure to create or
// write the file ends the recording; Error() then says why.
class ReadingRecorder {
  public:
    ReadingRecorder() = default;
    ~ReadingRecorder();
    ReadingRecorder(const ReadingRecorder&) = delete;
    ReadingRecorder& operator=(const ReadingRecorder&) = delete;
    // A recording moves whole, its file with it; the one moved from records nothing.
    ReadingRecorder(ReadingRecorder&& other) noexcept;
    ReadingRecorder& operator=(ReadingRecorder&& other) noexcept;

    // Creates (or replaces) `path` and writes the header; `start` is time zero of the seconds
    // column. False, with Error() set, when the file cannot be created or written.
    bool Start(const std::string& path, std::chrono::system_clock::time_point start);
    // Writes the reading's row; false (and the recording stopped) when that fails.
    bool Record(const Reading& reading);
    // Ends the recording and closes the file; false when the close reported a failure.
    bool Stop();

    bool Recording() const { return file_ != nullptr; }
    const std::string& Path() const { return path_; }
    std::uint64_t Rows() const { return rows_; }
    // Why the last Start or Record failed: "cannot create /x/y.csv: No such file or directory".
    const std::string& Error() const { return error_; }
    // The same in parts: the error number, and whether the file was being created (else
    // written).
    int ErrorNumber() const { return errorNumber_; }
    bool ErrorWhileCreating() const { return errorWhileCreating_; }

  private:
    bool Fail(const std::string& what, int error);
    bool WriteWhole(const std::string& text);

    std::FILE* file_ = nullptr;
    std::string path_;
    std::string error_;
    int errorNumber_ = 0;
    bool errorWhileCreating_ = false;
    std::chrono::system_clock::time_point start_{};
    std::uint64_t rows_ = 0;
    std::uint64_t kept_ = 0;  // bytes of whole rows (and the header) in the file
};

}  // namespace k419
