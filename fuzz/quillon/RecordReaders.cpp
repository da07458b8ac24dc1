// Printer data as the driver might hand it over: the input is cut into a KVFontGroupIndex and a KVCodePageTable
// (with counts that may claim far more than the bytes hold) and run through the match and both code-page edits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "mappingtool/core/MappingIni.h"
#include "mappingtool/core/PrinterData.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t split = (static_cast<size_t>(data[0]) << 8 | data[1]) % (size - 1);
    const std::vector<uint8_t> fontGroups(data + 2, data + 2 + split);
    const std::vector<uint8_t> codePage(data + 2 + split, data + size);

    MappingTable table;
    ParseMappingSection({u"FontGroupName=\"A\"", u"0x41=1:0x42", u"FontGroupName=\"Latin\"", u"0x41=1:0x43",
                         u"FontGroupName=\"\"", u"FontGroupName=\"B\""},
                        table);
    MatchFontGroups(table, fontGroups.data(), fontGroups.size());

    const std::vector<uint8_t> added = AddCodePageEntries(table, codePage.data(), codePage.size());
    if (!IsCountedBlock(added.data(), added.size(), kCodePageEntrySize)) std::abort();
    std::vector<uint8_t> removed;
    if (RemoveCodePageEntries(codePage.data(), codePage.size(), removed)) {
        if (!IsCountedBlock(removed.data(), removed.size(), kCodePageEntrySize) || removed.size() >= codePage.size()) {
            std::abort();
        }
    }
    // Adding then removing leaves only driver entries, and removing again finds nothing.
    std::vector<uint8_t> clean;
    if (RemoveCodePageEntries(added.data(), added.size(), clean)) {
        std::vector<uint8_t> again;
        if (RemoveCodePageEntries(clean.data(), clean.size(), again)) std::abort();
    }
    BuildMappingRecordTable(table);
    return 0;
}
