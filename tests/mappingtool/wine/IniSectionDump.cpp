// Prints, for each INI file, what reading its "Quillon" section returns: "<count>:<units in hex through the zero
// that ends the buffer>". Built for Windows it asks the system's profile call; built natively it uses the reader
// of the Linux build. The Wine check compares the two over a generated set of files.
//
//   IniSectionDump dump <buffer units> <file>...
//   IniSectionDump generate <folder> <count> <seed>      (native build only)

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include "mappingtool/core/ProfileSection.h"
#include "mappingtool/core/Utf.h"
#endif

namespace {

void Print(uint32_t count, const std::vector<char16_t>& buffer, uint32_t size) {
    std::printf("%u:", count);
    const uint32_t shown = count + 1 < size ? count + 1 : size;
    for (uint32_t i = 0; i < shown; ++i) std::printf("%04x", static_cast<unsigned>(buffer[i]));
    std::printf("\n");
}

#ifdef _WIN32

uint32_t ReadSection(const wchar_t* path, char16_t* buffer, uint32_t size) {
    wchar_t full[4096];
    const DWORD length = GetFullPathNameW(path, 4096, full, nullptr);
    std::vector<wchar_t> wide(size + 4, 0xABCD);
    const DWORD count = GetPrivateProfileSectionW(L"Quillon", wide.data(), size, length > 0 && length < 4096 ? full : path);
    for (uint32_t i = 0; i < size + 4; ++i) buffer[i] = static_cast<char16_t>(wide[i]);
    return count;
}

#else

uint32_t ReadSection(const char* path, char16_t* buffer, uint32_t size) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return quillon::ReadProfileSection(quillon::DecodeProfileFile(data.data(), data.size()), u"Quillon", buffer, size);
}

class Random {
public:
    explicit Random(uint32_t seed) : m_state(seed * 2654435761u + 1) {}
    uint32_t Next(uint32_t bound) {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return m_state % bound;
    }

private:
    uint32_t m_state;
};

// Lines and separators that exercise the reading rules: sections, blanks, comments, nameless lines, NUL units,
// Unicode blanks that are no blanks, byte-order marks in the middle.
const std::u16string kPieces[] = {
    u"[Quillon]", u"[quillon]", u" [ QUILLON ] ", u"[Quillon] x", u"[Other]", u"[Quillon", u"[]", u"[Qu]illon]",
    u"FontGroupName=\"A\"", u"FontGroupName = \"B c\" ", u"0x41=1:0x42", u"  0x41 = 1 : 0x42  ", u"=", u"==",
    u"=x", u"= x =", u";c", u"  ;c=1", u"#h", u"noeq", u"a=b=c", u"\t\tk\t=\tv\t", u"\x1a", u"\v", u"\f",
    u"k=v ; c", u"\"q\"=\"v\"", std::u16string(u"x\0y=1", 5), std::u16string(u"=\0", 2),
    std::u16string(1, u'\0'), u"\u00e9=\u3042", u"\u3000k\u3000=v", u"\ufeffk=v",
    u"k=\ufeff", u"]", u"[[Quillon]]", u"[Quillon]]"};
const char16_t* const kSeparators[] = {u"\n", u"\r\n", u"\r", u"\n\n", u"\r\r\n", u"\n\r"};

void Generate(const std::string& folder, int count, uint32_t seed) {
    Random random(seed);
    const uint32_t nPieces = sizeof kPieces / sizeof kPieces[0];
    for (int i = 0; i < count; ++i) {
        std::u16string text;
        for (uint32_t n = 1 + random.Next(14); n > 0; --n) {
            text += kPieces[random.Next(nPieces)];
            text += kSeparators[random.Next(6)];
        }
        std::string bytes;
        const uint32_t encoding = random.Next(8);
        if (encoding < 4) {
            // Without a byte-order mark the Windows side reads the ANSI code page: ASCII only, to compare.
            for (char16_t c : text) bytes.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        } else if (encoding == 4) {
            bytes = "\xEF\xBB\xBF" + quillon::Utf16ToUtf8(text);
        } else if (encoding == 5) {
            bytes = "\xEF\xBB\xBF[Quillon]\nk=";
            static const unsigned char kBytes[] = {0x41, 0x80, 0xBF, 0xC0, 0xC2, 0xC3, 0xDF, 0xE0, 0xE3, 0xED,
                                                   0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0x90, 0xA0, 0x0A, 0x3D};
            for (uint32_t n = 1 + random.Next(20); n > 0; --n) bytes.push_back(static_cast<char>(kBytes[random.Next(19)]));
        } else {
            const bool little = encoding == 6;
            bytes = little ? "\xFF\xFE" : "\xFE\xFF";
            for (char16_t c : text) {
                bytes.push_back(static_cast<char>(little ? c & 0xFF : c >> 8));
                bytes.push_back(static_cast<char>(little ? c >> 8 : c & 0xFF));
            }
        }
        char name[32];
        std::snprintf(name, sizeof name, "/f%04d.ini", i);
        std::ofstream(folder + name, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
}

#endif

template <typename Char>
int Dump(int argc, Char** argv) {
    const uint32_t size = static_cast<uint32_t>(std::strtoul(std::string(argv[2], argv[2] + std::char_traits<Char>::length(argv[2])).c_str(), nullptr, 10));
    if (size < 2) return 2;
    std::vector<char16_t> buffer(size + 4);
    for (int i = 3; i < argc; ++i) {
        std::fill(buffer.begin(), buffer.end(), static_cast<char16_t>(0xABCD));
        Print(ReadSection(argv[i], buffer.data(), size), buffer, size);
    }
    return 0;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    if (argc >= 3 && std::wcscmp(argv[1], L"dump") == 0) return Dump(argc, argv);
    std::fprintf(stderr, "usage: IniSectionDump dump <buffer units> <file>...\n");
    return 2;
}
#else
int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "dump") == 0) return Dump(argc, argv);
    if (argc == 5 && std::strcmp(argv[1], "generate") == 0) {
        Generate(argv[2], std::atoi(argv[3]), static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10)));
        return 0;
    }
    std::fprintf(stderr, "usage: IniSectionDump dump <buffer units> <file>... | generate <folder> <count> <seed>\n");
    return 2;
}
#endif
