#include "QuillmereProfiles/QuillmereL10n.h"

#include <mutex>

namespace qm {
namespace {

std::mutex& tableLock() {
    static std::mutex lock;
    return lock;
}

QuillmereL10n::Table& table() {
    static QuillmereL10n::Table t;
    return t;
}

std::string asString(const QuillmereL10n::Arg& arg) {
    if (const auto* s = std::get_if<std::string>(&arg)) return *s;
    return std::to_string(std::get<std::int64_t>(arg));
}

}  // namespace

void QuillmereL10n::setTable(Table t) {
    std::lock_guard lock(tableLock());
    table() = std::move(t);
}

std::string QuillmereL10n::text(std::string_view key, std::string_view englishDefault) {
    std::lock_guard lock(tableLock());
    if (table()) {
        if (const auto* translated = table()(key)) return *translated;
    }
    return std::string(englishDefault);
}

std::string QuillmereL10n::fill(std::string_view pattern, const std::vector<Arg>& args) {
    std::string out;
    std::size_t next = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c != '%' || i + 1 >= pattern.size()) {
            out += c;
            continue;
        }
        const char conversion = pattern[i + 1];
        if (conversion == '%') {
            out += '%';
            ++i;
        } else if (conversion == 'd' || conversion == '@') {
            if (next < args.size()) out += asString(args[next]);
            ++next;
            ++i;
        } else {
            out += c;
        }
    }
    return out;
}

std::string QuillmereL10n::format(std::string_view key, std::string_view englishDefault, const std::vector<Arg>& args) {
    return fill(text(key, englishDefault), args);
}

}  // namespace qm
