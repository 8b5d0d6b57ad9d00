#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qm {

// A 16-byte identifier. Its text is the uppercase 8-4-4-4-12 form; parsing accepts either case.
class UUID {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    UUID() : bytes_{} {}  // the nil UUID
    explicit UUID(const Bytes& bytes) : bytes_(bytes) {}

    // A random (version 4) UUID from the system's cryptographic generator.
    static UUID random();
    static std::optional<UUID> parse(std::string_view text);
    static std::optional<UUID> fromBytes(const std::uint8_t* data, std::size_t size);

    const Bytes& bytes() const { return bytes_; }
    std::string uuidString() const;
    bool isNil() const;

    friend bool operator==(const UUID&, const UUID&) = default;
    friend auto operator<=>(const UUID&, const UUID&) = default;

private:
    Bytes bytes_;
};

}  // namespace qm

template <>
struct std::hash<qm::UUID> {
    std::size_t operator()(const qm::UUID& id) const noexcept;
};
