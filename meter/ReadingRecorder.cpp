#include "meter/ReadingRecorder.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

namespace k419 {

ReadingRecorder::~ReadingRecorder() { Stop(); }

ReadingRecorder::ReadingRecorder(ReadingRecorder&& other) noexcept { *this = std::move(other); }

ReadingRecorder& ReadingRecorder::operator=(ReadingRecorder&& other) noexcept {
    if (this == &other) return *this;
    Stop();
    file_ = std::exchange(other.file_, nullptr);
    path_ = std::move(other.path_);
    error_ = std::move(other.error_);
    errorNumber_ = other.errorNumber_;
    errorWhileCreating_ = other.errorWhileCreating_;
    start_ = other.start_;
    rows_ = std::exchange(other.rows_, 0);
    kept_ = std::exchange(other.kept_, 0);
    return *this;
}

bool ReadingRecorder::Start(const std::string& path, std::chrono::system_clock::time_point start) {
    Stop();
    path_ = path;
    error_.clear();
    errorNumber_ = 0;
    start_ = start;
    rows_ = 0;
    kept_ = 0;
    // "e": the descriptor is not inherited by programs the panel may start.
    file_ = std::fopen(path.c_str(), "wbe");
    if (file_ == nullptr) return Fail("cannot create", errno);
    // Each row goes out with its own fflush; a buffer larger than any row makes that flush
    // the row's one write.
    std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
    return WriteWhole(CsvHeader());
}

bool ReadingRecorder::Record(const Reading& reading) {
    if (file_ == nullptr) return false;
    if (!WriteWhole(CsvRow(reading, start_))) return false;
    ++rows_;
    return true;
}

bool ReadingRecorder::Stop() {
    if (file_ == nullptr) return true;
    std::FILE* file = file_;
    file_ = nullptr;
    if (std::fclose(file) != 0) {
        errorNumber_ = errno;
        errorWhileCreating_ = false;
        error_ = "cannot write " + path_ + ": " + std::strerror(errorNumber_);
        return false;
    }
    return true;
}

bool ReadingRecorder::Fail(const std::string& what, int error) {
    errorNumber_ = error;
    errorWhileCreating_ = what == "cannot create";
    error_ = what + " " + path_ + ": " + std::strerror(error);
    if (file_ != nullptr) {
        // The failure is already reported; what the close says adds nothing.
        std::fclose(file_);
        file_ = nullptr;
    }
    return false;
}

bool ReadingRecorder::WriteWhole(const std::string& text) {
    errno = 0;
    // A device that is full or gone often accepts the bytes into the stream's buffer and
    // only refuses them at the flush.
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size() || std::fflush(file_) != 0) {
        const bool failed = Fail("cannot write", errno != 0 ? errno : EIO);
        // A full disk may have taken the start of the row: the file ends with the last whole
        // row instead, so that whatever reads it meets no cut row.
        std::error_code ignored;
        std::filesystem::resize_file(path_, kept_, ignored);
        return failed;
    }
    kept_ += text.size();
    return true;
}

}  // namespace k419
