#pragma once

// The installed desktop entries read as the desktop reads them, so that the install tests run
// exactly the commands a user's click runs.
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace qm::test::DesktopEntries {

// One Exec= line: its section ("Desktop Entry", "Desktop Action SendFiles") and its raw value.
struct ExecLine {
    std::filesystem::path file;
    std::string section;
    std::string value;
};

inline std::vector<ExecLine> execLines(const std::filesystem::path& file) {
    std::vector<ExecLine> lines;
    std::ifstream in(file);
    std::string section;
    for (std::string line; std::getline(in, line);) {
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') section = line.substr(1, line.size() - 2);
        if (line.rfind("Exec=", 0) == 0) lines.push_back({file, section, line.substr(5)});
    }
    return lines;
}

// The program and arguments of an Exec= value: the value's own string escapes first, then words
// (a double-quoted word takes `\"`, `` \` ``, `\$` and `\\` as escapes), `%%` a percent sign,
// `%F`/`%f` the files and `%U`/`%u` the address (nothing without one, as from the application
// menu), each only as a word of its own. None when the value breaks those rules.
inline std::optional<std::vector<std::string>> execCommand(const std::string& value,
                                                           const std::vector<std::string>& files,
                                                           const std::string& url) {
    std::string text;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            text += value[i];
            continue;
        }
        switch (const char next = value[++i]) {
            case 's': text += ' '; break;
            case 'n': text += '\n'; break;
            case 't': text += '\t'; break;
            case 'r': text += '\r'; break;
            case '\\': text += '\\'; break;
            default: text += std::string("\\") + next;  // the quoting's own escape
        }
    }
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == '\t') {
            ++i;
            continue;
        }
        std::string word;
        bool quoted = false;
        std::optional<char> code;
        while (i < text.size() && (quoted || (text[i] != ' ' && text[i] != '\t'))) {
            const char c = text[i++];
            if (c == '"') {
                quoted = !quoted;
            } else if (quoted && c == '\\' && i < text.size() && std::string("\"`$\\").find(text[i]) != std::string::npos) {
                word += text[i++];
            } else if (c == '%' && i < text.size()) {
                const char field = text[i++];
                if (field == '%') {
                    word += '%';
                } else if (!quoted && word.empty() && std::string("fFuU").find(field) != std::string::npos &&
                           (i == text.size() || text[i] == ' ')) {
                    code = field;
                } else {
                    return std::nullopt;
                }
            } else {
                word += c;
            }
        }
        if (quoted) return std::nullopt;
        if (!code) {
            words.push_back(word);
        } else if (*code == 'F') {
            words.insert(words.end(), files.begin(), files.end());
        } else if (*code == 'f') {
            if (!files.empty()) words.push_back(files.front());
        } else if (!url.empty()) {
            words.push_back(url);
        }
    }
    if (words.empty()) return std::nullopt;
    return words;
}

// The value of `key` in the file's [Desktop Entry] group; none when the group has no such key.
inline std::optional<std::string> value(const std::filesystem::path& file, const std::string& key) {
    std::ifstream in(file);
    std::string section;
    for (std::string line; std::getline(in, line);) {
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') section = line.substr(1, line.size() - 2);
        if (section == "Desktop Entry" && line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    }
    return std::nullopt;
}

// Whether an application menu lists the entry: an application neither hidden nor kept out of menus.
inline bool shownInMenus(const std::filesystem::path& file) {
    return value(file, "Type") == "Application" && value(file, "NoDisplay").value_or("false") != "true" &&
           value(file, "Hidden").value_or("false") != "true";
}

// The files a desktop finds for the icon an entry names: the file itself for a path, else the
// icon theme's pictures of that name (PNG or SVG, at any size) in the hicolor theme below each of
// `dataFolders` (the folders a desktop reads, as XDG_DATA_HOME and XDG_DATA_DIRS name them).
inline std::vector<std::filesystem::path> iconFiles(const std::string& icon,
                                                    const std::vector<std::filesystem::path>& dataFolders) {
    namespace fs = std::filesystem;
    std::vector<fs::path> found;
    std::error_code error;
    if (fs::path(icon).is_absolute()) {
        if (fs::is_regular_file(icon, error)) found.push_back(icon);
        return found;
    }
    for (const auto& folder : dataFolders) {
        const auto theme = folder / "icons" / "hicolor";
        if (!fs::is_directory(theme, error)) continue;
        for (const auto& size : fs::directory_iterator(theme, error)) {
            for (const char* extension : {".png", ".svg"}) {
                const auto file = size.path() / "apps" / (icon + extension);
                if (fs::is_regular_file(file, error)) found.push_back(file);
            }
        }
    }
    return found;
}

}  // namespace qm::test::DesktopEntries
