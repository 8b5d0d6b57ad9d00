#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

using Bytes = std::vector<std::uint8_t>;

// Appends little-endian integers and raw bytes to a growing buffer.
class ByteWriter {
public:
    ByteWriter() = default;
    explicit ByteWriter(std::size_t reserve) { data_.reserve(reserve); }

    ByteWriter& u8(std::uint8_t v) {
        data_.push_back(v);
        return *this;
    }
    ByteWriter& u16(std::uint16_t v) { return le(v, 2); }
    ByteWriter& u32(std::uint32_t v) { return le(v, 4); }
    ByteWriter& u64(std::uint64_t v) { return le(v, 8); }
    ByteWriter& i16(std::int16_t v) { return le(static_cast<std::uint16_t>(v), 2); }
    ByteWriter& i32(std::int32_t v) { return le(static_cast<std::uint32_t>(v), 4); }
    ByteWriter& i64(std::int64_t v) { return le(static_cast<std::uint64_t>(v), 8); }
    ByteWriter& f64(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, 8);
        return le(bits, 8);
    }
    ByteWriter& bytes(std::span<const std::uint8_t> b) {
        data_.insert(data_.end(), b.begin(), b.end());
        return *this;
    }
    ByteWriter& bytes(std::string_view s) {
        data_.insert(data_.end(), s.begin(), s.end());
        return *this;
    }

    const Bytes& data() const& { return data_; }
    Bytes take() { return std::move(data_); }
    std::size_t size() const { return data_.size(); }

private:
    ByteWriter& le(std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) data_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    Bytes data_;
};

// Reads little-endian values from a span. Every read checks the remaining length first and
// returns nothing when it would run past the end; the position then stays where it was.
class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> data) : data_(data) {}

    std::size_t remaining() const { return data_.size() - pos_; }
    std::size_t position() const { return pos_; }
    bool atEnd() const { return pos_ == data_.size(); }

    std::optional<std::uint8_t> u8() {
        if (remaining() < 1) return std::nullopt;
        return data_[pos_++];
    }
    std::optional<std::uint16_t> u16() { return le<std::uint16_t>(2); }
    std::optional<std::uint32_t> u32() { return le<std::uint32_t>(4); }
    std::optional<std::uint64_t> u64() { return le<std::uint64_t>(8); }
    std::optional<std::int16_t> i16() {
        auto v = u16();
        return v ? std::optional<std::int16_t>(static_cast<std::int16_t>(*v)) : std::nullopt;
    }
    std::optional<std::int32_t> i32() {
        auto v = u32();
        return v ? std::optional<std::int32_t>(static_cast<std::int32_t>(*v)) : std::nullopt;
    }
    std::optional<std::int64_t> i64() {
        auto v = u64();
        return v ? std::optional<std::int64_t>(static_cast<std::int64_t>(*v)) : std::nullopt;
    }
    std::optional<double> f64() {
        auto bits = u64();
        if (!bits) return std::nullopt;
        double v;
        std::memcpy(&v, &*bits, 8);
        return v;
    }
    std::optional<std::span<const std::uint8_t>> bytes(std::size_t count) {
        if (remaining() < count) return std::nullopt;
        auto out = data_.subspan(pos_, count);
        pos_ += count;
        return out;
    }
    std::optional<std::string> string(std::size_t count) {
        auto b = bytes(count);
        if (!b) return std::nullopt;
        return std::string(b->begin(), b->end());
    }
    bool skip(std::size_t count) {
        if (remaining() < count) return false;
        pos_ += count;
        return true;
    }

private:
    template <class T>
    std::optional<T> le(int n) {
        if (remaining() < static_cast<std::size_t>(n)) return std::nullopt;
        T v = 0;
        if constexpr (std::endian::native == std::endian::little) {
            // One unaligned load instead of a loop: decoding sits on the path of every packet.
            std::memcpy(&v, data_.data() + pos_, sizeof(T));
        } else {
            for (int i = 0; i < n; ++i) v |= static_cast<T>(static_cast<T>(data_[pos_ + i]) << (8 * i));
        }
        pos_ += static_cast<std::size_t>(n);
        return v;
    }
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

// True when the bytes are well-formed UTF-8 (no overlongs, surrogates or values past U+10FFFF).
bool isValidUTF8(std::span<const std::uint8_t> bytes);
inline bool isValidUTF8(std::string_view s) {
    return isValidUTF8(std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
}

}  // namespace qm
