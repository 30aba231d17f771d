#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// The fuzz input as a read-only stream, the way a reader gets a file. An empty input still gets a
// stream (fmemopen refuses a zero-sized buffer), one that reports size 0.
class InputStream {
public:
    InputStream(const uint8_t* data, size_t size) {
        if (size == 0) {
            file_ = std::tmpfile();
        } else {
            file_ = fmemopen(const_cast<uint8_t*>(data), size, "rb");
        }
    }
    ~InputStream() {
        if (file_) std::fclose(file_);
    }
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;
    std::FILE* get() const { return file_; }

private:
    std::FILE* file_ = nullptr;
};

// A growing in-memory output stream; bytes() is valid after close().
class OutputStream {
public:
    OutputStream() { file_ = open_memstream(&buffer_, &size_); }
    ~OutputStream() {
        close();
        std::free(buffer_);
    }
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;
    std::FILE* get() const { return file_; }
    void close() {
        if (file_) std::fclose(file_);
        file_ = nullptr;
    }
    const uint8_t* bytes() const { return reinterpret_cast<const uint8_t*>(buffer_); }
    size_t size() const { return size_; }

private:
    std::FILE* file_ = nullptr;
    char* buffer_ = nullptr;
    size_t size_ = 0;
};
