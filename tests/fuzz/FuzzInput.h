// SPDX-License-Identifier: MIT
// The byte format the fuzzers read their input in, and the writer that the
// seed generator uses to put the tests' own machines into that format.
//
// Everything is read front to back: little-endian integers, and blobs of a
// 16-bit length followed by that many bytes. A reader past the end of its
// input answers zeros and empty blobs, so every input is a valid one.
#ifndef TAVDISK_TESTS_FUZZ_FUZZINPUT_H
#define TAVDISK_TESTS_FUZZ_FUZZINPUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace TavFuzz {

class Reader {
public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return at_ >= size_; }

    uint64_t Int(int bytes) {
        uint64_t value = 0;
        for (int i = 0; i < bytes; ++i)
            value |= uint64_t{Byte()} << (8 * i);
        return value;
    }
    uint8_t U8() { return static_cast<uint8_t>(Int(1)); }
    uint16_t U16() { return static_cast<uint16_t>(Int(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Int(4)); }
    uint64_t U64() { return Int(8); }
    bool Flag() { return (U8() & 1) != 0; }

    // A blob of at most `limit` bytes.
    std::vector<uint8_t> Blob(size_t limit = 0xFFFF) {
        size_t length = U16();
        if (length > limit)
            length = limit;
        if (length > size_ - (at_ < size_ ? at_ : size_))
            length = at_ < size_ ? size_ - at_ : 0;
        std::vector<uint8_t> out(data_ + (at_ < size_ ? at_ : size_), data_ + (at_ < size_ ? at_ : size_) + length);
        at_ += length;
        return out;
    }
    std::string Text(size_t limit = 0xFFFF) {
        std::vector<uint8_t> b = Blob(limit);
        return std::string(b.begin(), b.end());
    }
    // Wide text: each 16-bit unit of the blob is one character (so any code
    // point of the basic plane, surrogates included).
    std::wstring Wide(size_t limitCharacters = 0x7FFF) {
        std::vector<uint8_t> b = Blob(limitCharacters * 2);
        std::wstring out;
        for (size_t i = 0; i + 1 < b.size(); i += 2)
            out += static_cast<wchar_t>(b[i] | (b[i + 1] << 8));
        return out;
    }

private:
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

class Writer {
public:
    Writer &Int(uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out_.push_back(static_cast<uint8_t>(value >> (8 * i)));
        return *this;
    }
    Writer &U8(uint64_t v) { return Int(v, 1); }
    Writer &U16(uint64_t v) { return Int(v, 2); }
    Writer &U32(uint64_t v) { return Int(v, 4); }
    Writer &U64(uint64_t v) { return Int(v, 8); }
    Writer &Flag(bool v) { return U8(v ? 1 : 0); }
    Writer &Blob(const std::vector<uint8_t> &b) {
        U16(b.size());
        out_.insert(out_.end(), b.begin(), b.end());
        return *this;
    }
    Writer &Text(const std::string &s) { return Blob(std::vector<uint8_t>(s.begin(), s.end())); }
    Writer &Wide(const std::wstring &s) {
        std::vector<uint8_t> b;
        for (wchar_t c : s) {
            b.push_back(static_cast<uint8_t>(c & 0xFF));
            b.push_back(static_cast<uint8_t>((c >> 8) & 0xFF));
        }
        return Blob(b);
    }
    const std::vector<uint8_t> &Bytes() const { return out_; }

private:
    std::vector<uint8_t> out_;
};

} // namespace TavFuzz

#endif
