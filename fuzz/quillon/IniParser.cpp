// INI bytes through the Windows profile reading rules and the mapping-section parser, then through the
// font-group match and the record builders, with buffers from the real 30000 units down to a few units.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "mappingtool/core/MappingIni.h"
#include "mappingtool/core/PrinterData.h"
#include "mappingtool/core/ProfileSection.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint32_t units = kIniBufferUnits;
    if (size > 0 && data[0] < 0x10) {
        // Inputs starting with a low byte also try a small buffer, to reach the cut paths often.
        units = 2 + data[0] * 7;
        ++data, --size;
    }
    const std::u16string text = DecodeProfileFile(data, size);
    std::vector<char16_t> buffer(units + 1, u'\xABCD');
    const uint32_t count = ReadProfileSection(text, kIniSectionName, buffer.data(), units);
    if (count > units || buffer[units] != u'\xABCD') std::abort();
    if (count + 1 < units && buffer[count] != u'\0') std::abort();

    MappingTable table;
    if (!ParseMappingSection(SplitSectionBuffer(buffer.data(), count), table)) return 0;
    static const std::vector<uint8_t> s_fontGroups = [] {
        std::vector<uint8_t> out;
        PutLE32(out, 2);
        for (const char16_t* name : {u"A", u"Latin"}) {
            PutLE32(out, 0);
            PutLE32(out, name[0]);
            std::u16string field(name);
            field.resize(kFontGroupNameUnits);
            for (char16_t c : field) out.push_back(static_cast<uint8_t>(c)), out.push_back(static_cast<uint8_t>(c >> 8));
        }
        return out;
    }();
    MatchFontGroups(table, s_fontGroups.data(), s_fontGroups.size());
    size_t records = 0;
    for (const auto& entry : table) records += entry.second.vecRecords.size();
    const std::vector<uint8_t> out = BuildMappingRecordTable(table);
    if (!IsCountedBlock(out.data(), out.size(), MappingRecord::kSize) || GetLE32(out.data()) > records) std::abort();
    const std::vector<uint8_t> codePage = AddCodePageEntries(table, nullptr, 0);
    if (GetLE32(codePage.data()) > table.size()) std::abort();
    return 0;
}
