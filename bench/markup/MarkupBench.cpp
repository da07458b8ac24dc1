// Parsing speed of CMarkup against libxml2 on the same generated configuration document.

#include "markup/Markup.h"

#include <benchmark/benchmark.h>
#include <libxml/parser.h>

#include <string>

namespace
{

// A configuration-style document of about nBytes: nested groups of typed properties, CR LF
// line ends, a declaration, comments and the occasional escaped value.
std::string MakeConfiguration(size_t nBytes)
{
    std::string strDoc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!-- generated -->\r\n<xmlroot>\r\n";
    unsigned int nSeed = 12345;
    auto next = [&nSeed]() {
        nSeed = nSeed * 1103515245u + 12345u;
        return (nSeed >> 16) & 0x7FFF;
    };
    for (int nGroup = 0; strDoc.size() < nBytes; ++nGroup)
    {
        strDoc += "<type value=\"group" + std::to_string(nGroup) + "\">\r\n";
        const int nSubGroups = 1 + static_cast<int>(next() % 4);
        for (int s = 0; s < nSubGroups; ++s)
        {
            strDoc += "<type value=\"QX" + std::to_string(s) + "\">\r\n";
            const int nProps = 2 + static_cast<int>(next() % 8);
            for (int p = 0; p < nProps; ++p)
            {
                switch (next() % 3)
                {
                case 0:
                    strDoc += "<property id=\"name" + std::to_string(p) + "\" type=\"string\" value=\"/PortType &amp; " +
                              std::to_string(next()) + "\"/>\r\n";
                    break;
                case 1:
                    strDoc += "<property id=\"timeout" + std::to_string(p) + "\" type=\"number\" value=\"" +
                              std::to_string(next() * 7) + "\"/>\r\n";
                    break;
                default:
                    strDoc += "<property id=\"blob" + std::to_string(p) +
                              "\" type=\"binary\" value=\"\r\nAAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKiss\r\n\"/>\r\n";
                    break;
                }
            }
            if (next() % 5 == 0)
                strDoc += "<!-- settings of the port follow the host's tree -->\r\n";
            strDoc += "</type>\r\n";
        }
        strDoc += "</type>\r\n";
    }
    strDoc += "</xmlroot>\r\n";
    return strDoc;
}

const std::string& Document()
{
    static const std::string strDoc = MakeConfiguration(10 * 1024 * 1024);
    return strDoc;
}

void BM_CMarkupParse(benchmark::State& state)
{
    const std::string& strDoc = Document();
    for (auto _ : state)
    {
        CMarkup xml;
        const bool bWellFormed = xml.SetDoc(strDoc);
        benchmark::DoNotOptimize(bWellFormed);
        if (!bWellFormed)
            state.SkipWithError("generated document is not well-formed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(strDoc.size()));
}

void BM_Libxml2Parse(benchmark::State& state)
{
    const std::string& strDoc = Document();
    for (auto _ : state)
    {
        xmlDocPtr pDoc = xmlReadMemory(strDoc.data(), static_cast<int>(strDoc.size()), "bench.xml", nullptr,
                                       XML_PARSE_NONET | XML_PARSE_HUGE);
        if (!pDoc)
            state.SkipWithError("libxml2 rejected the document");
        xmlFreeDoc(pDoc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(strDoc.size()));
}

BENCHMARK(BM_CMarkupParse)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Libxml2Parse)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv)
{
    xmlInitParser();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    xmlCleanupParser();
    return 0;
}
