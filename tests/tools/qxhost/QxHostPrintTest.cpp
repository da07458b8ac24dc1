// qxhost print: data reaches the device byte for byte, large jobs show real progress on a terminal,
// and every failure ends with one line and a non-zero status.
#include <chrono>
#include <regex>
#include <set>
#include <thread>

#include "tests/tools/qxhost/QxHostFixture.h"

namespace {

using QxHostPrint = QxHostFixture;

std::string Receipt()
{
    // Initialise, bold on, text, bold off, feed and cut: the control bytes must arrive unchanged.
    return std::string("\x1b@\x1b" "E\x01" "KORVO MARKET\n\x1b" "E\x00" "Coffee        3.20\n\x1d" "V\x00", 40);
}

TEST_F(QxHostPrint, SendsTheFileToThePrinterAndReportsCountResultAndEvents)
{
    WriteFile(Path("receipt.bin"), Receipt());
    const QXHOST_RESULT result = Run({"print", "Receipt", Path("receipt.bin")});
    EXPECT_EQ(result.nStatus, 0) << result.strErr;
    EXPECT_EQ(result.strErr, "");
    EXPECT_NE(result.strOut.find("wrote 40 of 40 bytes to QX/Receipt: PHR_SUCCESS\n"), std::string::npos)
        << result.strOut;
    EXPECT_TRUE(std::regex_search(result.strOut, std::regex("event \\+[0-9.]+s: power: ready \\(0\\)\n")))
        << result.strOut;
    EXPECT_EQ(Spool("receipt", "printer"), Receipt());
    EXPECT_EQ(Spool("counter", "printer"), "") << "the other device saw nothing";
}

TEST_F(QxHostPrint, OneMebibyteOnATerminalShowsProgressPieceByPiece)
{
    std::string strData(1024 * 1024, '\0');
    for (std::size_t i = 0; i < strData.size(); ++i)
        strData[i] = static_cast<char>((i * 7 + i / 4096) & 0xFF);
    WriteFile(Path("big.bin"), strData);
    // Write-start requests the receipt printer has received (its spooled record).
    auto WriteStarts = [&] { return Count(ReadFile(Path("spool/receipt/record.log")), " CTRL 41 11 "); };
    const std::size_t ulStartsBefore = WriteStarts();
    const QXHOST_RESULT result = Process()->RunOnTerminal({"print", "Receipt", Path("big.bin")});
    EXPECT_EQ(result.nStatus, 0) << result.strOut;
    // One redraw per piece of eight protocol chunks (8 x 65,535 bytes), each showing the bytes
    // actually written so far: two whole pieces and the 16 bytes left.
    std::set<std::string> setShown;
    const std::regex redraw("\r\\[[#.]{30}\\] +([0-9]+)%  ([0-9]+)/1048576 bytes");
    for (auto it = std::sregex_iterator(result.strOut.begin(), result.strOut.end(), redraw);
         it != std::sregex_iterator(); ++it) {
        const unsigned long ulShown = std::stoul((*it)[2]);
        EXPECT_TRUE(ulShown % (8 * 65535) == 0 || ulShown == 1048576) << (*it)[0];
        setShown.insert((*it)[2]);
    }
    EXPECT_EQ(setShown.size(), 3u) << result.strOut;
    // Every chunk is whole at the device: 17 write starts, none for a stray byte.
    EXPECT_EQ(WriteStarts() - ulStartsBefore, 17u);
    EXPECT_EQ(setShown.count("1048576"), 1u);
    EXPECT_NE(result.strOut.find("[##############################] 100%  1048576/1048576 bytes\r\n"),
              std::string::npos);
    EXPECT_NE(result.strOut.find("wrote 1048576 of 1048576 bytes to QX/Receipt: PHR_SUCCESS"), std::string::npos);
    const std::string strReceived = Spool("receipt", "printer");
    EXPECT_EQ(strReceived.size(), strData.size());
    EXPECT_TRUE(strReceived == strData) << "the device received other bytes than the file holds";
}

TEST_F(QxHostPrint, NoProgressBarWhenStandardErrorIsNotATerminal)
{
    WriteFile(Path("big.bin"), std::string(200000, 'x'));
    QXHOST_RESULT result = Run({"print", "Receipt", Path("big.bin")});
    EXPECT_EQ(result.nStatus, 0) << result.strErr;
    EXPECT_EQ(result.strErr, "");
    // --progress asks for it anyway (a log file of a long job).
    result = Run({"print", "Receipt", Path("big.bin"), "--progress"});
    EXPECT_EQ(result.nStatus, 0);
    EXPECT_NE(result.strErr.find("100%  200000/200000 bytes\n"), std::string::npos) << result.strErr;
    EXPECT_EQ(Spool("receipt", "printer").size(), 400000u);
}

TEST_F(QxHostPrint, InterruptingALongJobAbortsTheWrite)
{
    // About ten seconds on the wire for the whole job.
    SetBus("wire_rate", "100000");
    WriteFile(Path("big.bin"), std::string(1024 * 1024, 'x'));
    auto pPrint = Process();
    ASSERT_TRUE(pPrint->Start({"print", "Receipt", Path("big.bin"), "--progress"}, Path("print.out")));
    // Interrupted while the first piece is on the wire.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Spool("receipt", "printer").empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(Spool("receipt", "printer").empty()) << pPrint->Output();
    ASSERT_TRUE(pPrint->Signal(SIGINT));
    EXPECT_EQ(pPrint->Wait(), 1) << pPrint->Output();
    const std::string strOut = pPrint->Output();
    std::smatch match;
    ASSERT_TRUE(std::regex_search(strOut, match,
                                  std::regex("wrote ([0-9]+) of 1048576 bytes to QX/Receipt: (PHR_[A-Z_]+) \\(interrupted\\)\n")))
        << strOut;
    const std::size_t ulWritten = std::stoul(match[1]);
    EXPECT_LT(ulWritten, 1048576u);
    EXPECT_NE(strOut.find("qxhost: print on QX/Receipt "), std::string::npos) << strOut;
    EXPECT_EQ(Spool("receipt", "printer").size() >= ulWritten, true) << "the count is what the device took";
}

TEST_F(QxHostPrint, StandardInputToTheCustomerDisplay)
{
    const std::string strLine = "\x0cTotal       12.50";
    const QXHOST_RESULT result = Run({"print", "JV/Counter", "-"}, strLine);
    EXPECT_EQ(result.nStatus, 0) << result.strErr;
    const std::string strCount = std::to_string(strLine.size());
    EXPECT_NE(result.strOut.find("wrote " + strCount + " of " + strCount + " bytes to JV/Counter: PHR_SUCCESS"),
              std::string::npos)
        << result.strOut;
    EXPECT_EQ(Spool("counter", "display"), strLine);
    EXPECT_EQ(Spool("counter", "printer"), "") << "the display part writes to the display channel only";
}

TEST_F(QxHostPrint, AnUnknownPortNamesTheConfiguredOnes)
{
    WriteFile(Path("receipt.bin"), Receipt());
    const QXHOST_RESULT result = Run({"print", "Kitchen", Path("receipt.bin")});
    EXPECT_EQ(result.nStatus, 1);
    EXPECT_EQ(result.strErr,
              "qxhost: cannot open QX/Kitchen: PHR_INVALID_CONFIGURATION (no such port; configured: Receipt, "
              "Counter)\n");
    EXPECT_EQ(result.strOut, "");
}

TEST_F(QxHostPrint, AnUnreadableJobFailsBeforeAnythingIsOpened)
{
    const struct {
        std::string strFile;
        std::string strReason;
    } cases[] = {
        {Path("missing.bin"), "No such file or directory"},
        {Path(""), "Is a directory"},
    };
    for (const auto& c : cases) {
        const QXHOST_RESULT result = Run({"print", "Receipt", c.strFile});
        EXPECT_EQ(result.nStatus, 1);
        EXPECT_EQ(result.strErr, "qxhost: cannot read " + c.strFile + ": " + c.strReason + "\n");
        EXPECT_EQ(result.strOut, "");
    }
}

TEST_F(QxHostPrint, APrinterThatIsNotAttachedFailsWithTheResultByName)
{
    SetDevice("receipt", "present", "no");
    WriteFile(Path("receipt.bin"), Receipt());
    const QXHOST_RESULT result = Run({"print", "Receipt", Path("receipt.bin")});
    EXPECT_EQ(result.nStatus, 1);
    EXPECT_NE(result.strOut.find("wrote 0 of 40 bytes to QX/Receipt: PHR_DEVICE_NOT_AVAILABLE\n"), std::string::npos)
        << result.strOut;
    EXPECT_NE(result.strOut.find("power: unavailable (2)"), std::string::npos) << result.strOut;
    EXPECT_EQ(result.strErr, "qxhost: print on QX/Receipt failed: PHR_DEVICE_NOT_AVAILABLE after 0 of 40 bytes\n");
}

} // namespace
