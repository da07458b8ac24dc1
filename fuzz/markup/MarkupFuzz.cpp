// Parses arbitrary input as a document, then runs a script of navigation and edits drawn from
// the same input, checking the element index against the text after every step.

#include "markup/Markup.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace
{

void Check(const CMarkup& xml, const char* szStep)
{
    const std::string strProblem = xml.CheckIndex();
    if (strProblem.empty())
        return;
    fprintf(stderr, "index inconsistent after %s: %s\n--- document ---\n%s\n", szStep, strProblem.c_str(),
            xml.GetDoc().c_str());
    abort();
}

void Require(bool bCondition, const char* szWhat)
{
    if (bCondition)
        return;
    fprintf(stderr, "violated: %s\n", szWhat);
    abort();
}

// A file that lives in memory, so that saving and loading cost no disk traffic.
const std::string& MemoryFilePath()
{
    static const std::string strPath = [] {
        const int fd = memfd_create("markup-fuzz", 0);
        return fd < 0 ? std::string() : "/proc/self/fd/" + std::to_string(fd);
    }();
    return strPath;
}

std::string Name(FuzzedDataProvider& data)
{
    static const char* const aNames[] = {"a", "b", "xmlroot", "type", "property", "A", "x:y", "*", ""};
    const size_t n = data.ConsumeIntegralInRange<size_t>(0, sizeof(aNames) / sizeof(aNames[0]));
    if (n < sizeof(aNames) / sizeof(aNames[0]))
        return aNames[n];
    return data.ConsumeRandomLengthString(16);
}

bool IsPlainUTF8Text(const std::string& str)
{
    if (str.empty() || str[0] != '<' || str.find('\0') != std::string::npos)
        return false;
    const std::string strHead = str.substr(0, 1024);
    for (const std::string& strEncoding : {CMarkup::GetDeclaredEncoding(str), CMarkup::GetDeclaredEncoding(strHead)})
        if (!strEncoding.empty() && strEncoding != "UTF-8" && strEncoding != "utf-8")
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    // MARKUP_FUZZ_TRACE=1 prints every step, for reading a crash input.
    static const bool bTrace = getenv("MARKUP_FUZZ_TRACE") != nullptr;
    FuzzedDataProvider data(pData, nSize);
    CMarkup xml;
    if (data.ConsumeBool())
        xml.SetDocFlags(CMarkup::MDF_IGNORECASE);
    xml.SetDoc(data.ConsumeRandomLengthString(4096));
    Check(xml, "parse");
    xml.GetError();

    for (int nStep = 0; nStep < 64 && data.remaining_bytes() > 0; ++nStep)
    {
        const char* szStep = "?";
        switch (data.ConsumeIntegralInRange<int>(0, 20))
        {
        case 0: szStep = "FindElem"; xml.FindElem(Name(data).c_str()); break;
        case 1: szStep = "FindChildElem"; xml.FindChildElem(Name(data).c_str()); break;
        case 2: szStep = "IntoElem"; xml.IntoElem(); break;
        case 3: szStep = "OutOfElem"; xml.OutOfElem(); break;
        case 4:
            szStep = "Reset";
            if (data.ConsumeBool())
                xml.ResetMainPos();
            else
                xml.ResetPos();
            break;
        case 5:
        {
            szStep = "AddElem";
            const std::string strName = Name(data);
            const std::string strValue = data.ConsumeRandomLengthString(64);
            const int nFlags = data.ConsumeBool() ? CMarkup::MNF_WITHNOLINES : 0;
            if (data.ConsumeBool())
                xml.AddChildElem(strName.c_str(), strValue.empty() ? nullptr : strValue.c_str(), nFlags);
            else
                xml.AddElem(strName.c_str(), strValue.empty() ? nullptr : strValue.c_str(), nFlags);
            break;
        }
        case 6: szStep = "RemoveElem"; xml.RemoveElem(); break;
        case 7: szStep = "RemoveChildElem"; xml.RemoveChildElem(); break;
        case 8:
        {
            szStep = "SetAttrib";
            const std::string strName = data.ConsumeBool() ? std::string("id") : data.ConsumeRandomLengthString(8);
            const std::string strValue = data.ConsumeRandomLengthString(64);
            if (bTrace)
                fprintf(stderr, "SetAttrib(%s, %s)\n", strName.c_str(), strValue.c_str());
            if (xml.SetAttrib(strName.c_str(), strValue.c_str()))
                Require(xml.GetAttrib(strName.c_str()) == strValue.c_str(), "attribute reads back as set");
            break;
        }
        case 9: szStep = "SetElemContent"; xml.SetElemContent(data.ConsumeRandomLengthString(256)); break;
        case 10:
        {
            szStep = "SetData";
            const std::string strValue = data.ConsumeRandomLengthString(64);
            const bool bCData = data.ConsumeBool();
            if (xml.SetData(strValue.c_str(), bCData ? CMarkup::MNF_WITHCDATA : 0))
                Require(xml.GetData() == strValue.c_str(), "data reads back as set");
            break;
        }
        case 11:
            szStep = "AddSubDoc";
            if (data.ConsumeBool())
                xml.AddSubDoc(data.ConsumeRandomLengthString(256));
            else if (xml.GetDoc().size() < 65536)  // copying an element into itself doubles the text
                xml.AddChildSubDoc(xml.GetSubDoc());
            break;
        case 12: szStep = "SavePos"; xml.SavePos(Name(data).c_str(), data.ConsumeIntegralInRange<int>(0, 2)); break;
        case 13:
            szStep = "RestorePos";
            xml.RestorePos(Name(data).c_str(), data.ConsumeIntegralInRange<int>(0, 2));
            break;
        case 14:
            szStep = "read";
            xml.GetAttrib(Name(data).c_str());
            xml.GetAttribName(data.ConsumeIntegralInRange<int>(0, 4));
            xml.GetData();
            xml.GetChildData();
            xml.GetElemContent();
            xml.GetSubDoc();
            xml.GetTagName();
            break;
        case 15:
        {
            szStep = "escape";
            const std::string strText = data.ConsumeRandomLengthString(128);
            Require(CMarkup::UnescapeText(CMarkup::EscapeText(strText, CMarkup::MNF_ESCAPEQUOTES)) == strText.c_str(),
                    "unescaping undoes escaping");
            CMarkup::UnescapeText(strText);
            CMarkup::EscapeText(strText, CMarkup::MNF_WITHREFS);
            break;
        }
        case 16:
        {
            szStep = "base64";
            const std::string strBytes = data.ConsumeRandomLengthString(200);
            const std::string strText =
                CMarkup::EncodeBase64(reinterpret_cast<const unsigned char*>(strBytes.data()),
                                      static_cast<int>(strBytes.size()));
            std::vector<unsigned char> vOut(strBytes.size() + 1);
            const int nOut = CMarkup::DecodeBase64(strText, vOut.data(), static_cast<int>(vOut.size()));
            Require(std::string(vOut.begin(), vOut.begin() + nOut) == strBytes, "base64 round trip");
            const std::string strJunk = data.ConsumeRandomLengthString(64);
            std::vector<unsigned char> vJunk(static_cast<size_t>(CMarkup::DecodeBase64(strJunk, nullptr, 0)));
            CMarkup::DecodeBase64(strJunk, vJunk.data(), static_cast<int>(vJunk.size()));
            break;
        }
        case 17:
        {
            szStep = "unicode";
            const std::string strText = data.ConsumeRandomLengthString(128);
            const int nUnits = CMarkup::UTF8To16(nullptr, strText.data(), static_cast<int>(strText.size()));
            std::vector<unsigned short> vUnits(static_cast<size_t>(nUnits) + 1);
            Require(CMarkup::UTF8To16(vUnits.data(), strText.data(), static_cast<int>(strText.size())) == nUnits,
                    "UTF-16 count matches");
            const int nBytes = CMarkup::UTF16To8(nullptr, vUnits.data(), nUnits);
            std::string strBack(static_cast<size_t>(nBytes) + 1, '\0');
            Require(CMarkup::UTF16To8(&strBack[0], vUnits.data(), nUnits) == nBytes, "UTF-8 count matches");
            CMarkup::DetectUTF8(strText.data(), static_cast<int>(strText.size()));
            break;
        }
        case 18:
        {
            szStep = "save and load";
            const std::string& strPath = MemoryFilePath();
            if (strPath.empty())
                break;
            const int nFlags = data.ConsumeIntegralInRange<int>(0, 3);
            CMarkup copy = xml;
            const int aBoms[] = {0, CMarkup::MDF_UTF8PREAMBLE, CMarkup::MDF_UTF16LEFILE, CMarkup::MDF_UTF16BEFILE};
            copy.SetDocFlags(aBoms[nFlags]);
            if (ftruncate(atoi(strPath.c_str() + 14), 0) != 0)
                break;
            if (!copy.Save(strPath))
                break;
            copy.GetError();
            CMarkup loaded;
            loaded.Load(strPath);
            loaded.GetError();
            Check(loaded, "load");
            if (nFlags == 0 && IsPlainUTF8Text(xml.GetDoc()))
                Require(loaded.GetDoc() == xml.GetDoc(), "saved text loads back unchanged");
            break;
        }
        case 19:
            szStep = "declared encoding";
            CMarkup::GetDeclaredEncoding(xml.GetDoc());
            xml.IsWellFormed();
            break;
        default:
        {
            szStep = "SetDoc of own text";
            const bool bWasWellFormed = xml.IsWellFormed();
            CMarkup fresh;
            fresh.SetDocFlags(xml.GetDocFlags());
            fresh.SetDoc(xml.GetDoc());
            Check(fresh, "reparse");
            if (bWasWellFormed)
                Require(fresh.IsWellFormed(), "a well-formed document stays well-formed when parsed again");
            break;
        }
        }
        Check(xml, szStep);
        if (bTrace)
            fprintf(stderr, "%s -> [%s] main=%s child=%s\n", szStep, xml.GetDoc().c_str(), xml.GetTagName().c_str(),
                    xml.GetChildTagName().c_str());
    }
    return 0;
}
