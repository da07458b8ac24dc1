#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/TestData.h"

namespace quillon_test {

using Bytes = std::vector<uint8_t>;

inline Bytes Words(std::initializer_list<uint32_t> words) {
    Bytes out;
    for (uint32_t w : words) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(w >> (8 * i)));
    }
    return out;
}

using testsupport::Concat;

// KVFontGroupIndex: count, then per entry an opaque word, the index and a 256-unit name field.
inline Bytes FontGroupIndex(const std::vector<std::pair<std::u16string, uint32_t>>& entries) {
    Bytes out = Words({static_cast<uint32_t>(entries.size())});
    for (const auto& [name, index] : entries) {
        Bytes entry = Words({0xA5A5A5A5u, index});
        for (size_t i = 0; i < 256; ++i) {
            const char16_t c = i < name.size() ? name[i] : u'\0';
            entry.push_back(static_cast<uint8_t>(c));
            entry.push_back(static_cast<uint8_t>(c >> 8));
        }
        out.insert(out.end(), entry.begin(), entry.end());
    }
    return out;
}

inline Bytes CodePageTable(const std::vector<std::array<uint32_t, 3>>& entries) {
    Bytes out = Words({static_cast<uint32_t>(entries.size())});
    for (const auto& e : entries) {
        const Bytes w = Words({e[0], e[1], e[2]});
        out.insert(out.end(), w.begin(), w.end());
    }
    return out;
}

// One KVQuillon record as the tool writes it.
inline Bytes Record(uint32_t index, uint32_t from, uint32_t count, uint32_t to) {
    return Words({24, 0, index, from, count, to});
}

inline Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    ASSERT_TRUE(out.good()) << path;
}

inline void WriteFile(const std::string& path, const Bytes& content) {
    WriteFile(path, std::string(content.begin(), content.end()));
}

inline bool PathExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// A fresh directory, removed with everything in it (read-only folders included) when the test ends.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/quillon-test-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) m_path = pattern;
        EXPECT_FALSE(m_path.empty());
    }
    ~TempDir() {
        if (!m_path.empty()) Remove(m_path);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    static void Remove(const std::string& path) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) return;
        if (S_ISDIR(st.st_mode)) {
            chmod(path.c_str(), 0700);
            if (DIR* dir = opendir(path.c_str())) {
                std::vector<std::string> names;
                while (dirent* entry = readdir(dir)) {
                    const std::string name = entry->d_name;
                    if (name != "." && name != "..") names.push_back(name);
                }
                closedir(dir);
                for (const std::string& name : names) Remove(path + "/" + name);
            }
            rmdir(path.c_str());
        } else {
            unlink(path.c_str());
        }
    }

    std::string m_path;
};

// A printer of the file-backed store: a folder under the root, one file per value (type word, then bytes).
class PrinterFolder {
public:
    PrinterFolder(const std::string& root, const std::string& name) : m_folder(root + "/" + name) {
        mkdir(m_folder.c_str(), 0755);
    }
    const std::string& Folder() const { return m_folder; }
    void SetValue(const std::string& value, const Bytes& data, uint32_t type = 3) const {
        WriteFile(m_folder + "/" + value, Concat({Words({type}), data}));
    }
    // The value's bytes without the type word; empty when the value is missing.
    Bytes Value(const std::string& value) const {
        const Bytes file = ReadFile(m_folder + "/" + value);
        return file.size() < 4 ? Bytes() : Bytes(file.begin() + 4, file.end());
    }
    uint32_t Type(const std::string& value) const {
        const Bytes file = ReadFile(m_folder + "/" + value);
        return file.size() < 4 ? 0 : (file[0] | (file[1] << 8) | (file[2] << 16) | (static_cast<uint32_t>(file[3]) << 24));
    }
    bool HasValue(const std::string& value) const { return PathExists(m_folder + "/" + value); }

private:
    std::string m_folder;
};

}  // namespace quillon_test
