#pragma once

#include <cmath>
#include <cstdint>

namespace qm {

// Points and sizes in display points (or normalised units where a field says so), as doubles.
struct Point {
    double x = 0;
    double y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
    double width = 0;
    double height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
    Point origin;
    Size size;

    Rect() = default;
    Rect(double x, double y, double width, double height) : origin{x, y}, size{width, height} {}

    double minX() const { return origin.x; }
    double minY() const { return origin.y; }
    double maxX() const { return origin.x + size.width; }
    double maxY() const { return origin.y + size.height; }
    double width() const { return size.width; }
    double height() const { return size.height; }
    bool isEmpty() const { return !(size.width > 0) || !(size.height > 0); }
    Rect unionWith(const Rect& other) const {
        if (isEmpty()) return other;
        if (other.isEmpty()) return *this;
        const double x0 = std::fmin(minX(), other.minX());
        const double y0 = std::fmin(minY(), other.minY());
        return Rect(x0, y0, std::fmax(maxX(), other.maxX()) - x0, std::fmax(maxY(), other.maxY()) - y0);
    }
    friend bool operator==(const Rect&, const Rect&) = default;
};

// Rounds to the nearest integer, halves away from zero (how display sizes are printed and sent).
inline std::int64_t roundedInt(double value) {
    return static_cast<std::int64_t>(std::llround(value));
}

}  // namespace qm
