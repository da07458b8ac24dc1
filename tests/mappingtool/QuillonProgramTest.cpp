#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/mappingtool/QuillonTestSupport.h"

extern char** environ;

// The Linux program end to end: printers in folders under QUILLON_PRINTERS, messages on standard error.
namespace {

using namespace quillon_test;

struct Outcome {
    int exitCode;
    std::string out;
    std::string err;
};

class QuillonProgram : public ::testing::Test {
protected:
    QuillonProgram() : printer(root.Path(), "KV Receipt") {
        printer.SetValue("KVFontGroupIndex", FontGroupIndex({{u"Latin", 3}, {u"Kana", 7}, {u"Symbol", 9}}));
    }

    Outcome Run(const std::vector<std::string>& args, const std::string& lang = "C.UTF-8") {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            if (name != "QUILLON_PRINTERS" && name != "LANG" && name != "LC_ALL" && name != "LC_MESSAGES") {
                env.push_back(entry);
            }
        }
        env.push_back("QUILLON_PRINTERS=" + root.Path());
        env.push_back("LANG=" + lang);
        std::vector<char*> envp, argv;
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string program = QUILLON_PROGRAM;
        argv.push_back(program.data());
        std::vector<std::string> argsCopy = args;
        for (std::string& a : argsCopy) argv.push_back(a.data());
        argv.push_back(nullptr);

        const std::string outPath = work / "stdout", errPath = work / "stderr";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = 0;
        const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(0, spawned) << std::strerror(spawned);
        int status = 0;
        EXPECT_EQ(pid, waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status)) << "status " << status;
        const Bytes out = ReadFile(outPath), err = ReadFile(errPath);
        return Outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, std::string(out.begin(), out.end()),
                       std::string(err.begin(), err.end())};
    }

    std::string Ini(const std::string& body) {
        const std::string path = work / "mapping.ini";
        WriteFile(path, body);
        return path;
    }

    ino_t Inode(const std::string& value) const {
        struct stat st {};
        stat((printer.Folder() + "/" + value).c_str(), &st);
        return st.st_ino;
    }

    TempDir root;
    TempDir work;
    PrinterFolder printer;
};

const char kLatinIni[] = "[Quillon]\nFontGroupName=\"Latin\"\n0x41=1:0x42\n";

TEST_F(QuillonProgram, WrongArgumentCountShowsMessage101) {
    for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"KV Receipt", "a.ini", "extra"}}) {
        const Outcome o = Run(args);
        EXPECT_EQ(1, o.exitCode);
        EXPECT_EQ("Quillon: error: Specified command line is not correct.\n", o.err);
        EXPECT_EQ("", o.out);
    }
}

TEST_F(QuillonProgram, HelpIsShownWithoutTouchingAnyPrinter) {
    const Outcome o = Run({"--help"});
    EXPECT_EQ(0, o.exitCode);
    EXPECT_EQ(0u, o.out.find("Usage: quillon PRINTER INI-FILE\n"));
    EXPECT_EQ("", o.err);
}

TEST_F(QuillonProgram, MissingIniFileShowsMessage103) {
    const Outcome o = Run({"KV Receipt", work / "none.ini"});
    EXPECT_EQ(1, o.exitCode);
    EXPECT_EQ("Quillon: error: INI file does not exist in the specified path.\n", o.err);
}

TEST_F(QuillonProgram, UnknownPrinterShowsMessage102InBothModes) {
    const std::string expected = "Quillon: error: Specified printer name does not exist.\n";
    EXPECT_EQ(expected, Run({"No Such Printer", Ini(kLatinIni)}).err);
    const Outcome remove = Run({"No Such Printer"});
    EXPECT_EQ(1, remove.exitCode);
    EXPECT_EQ(expected, remove.err);
}

TEST_F(QuillonProgram, PrinterWithoutFontGroupsShowsMessage109BeforeTheIniIsRead) {
    PrinterFolder plain(root.Path(), "Plain");
    const Outcome o = Run({"Plain", Ini("not an ini file at all")});
    EXPECT_EQ(1, o.exitCode);
    EXPECT_EQ("Quillon: error: Cannot use with this printer.\n", o.err);
    EXPECT_FALSE(plain.HasValue("KVCodePageTable"));
}

TEST_F(QuillonProgram, FontGroupDataOfAWrongSizeShowsMessage109) {
    Bytes data = FontGroupIndex({{u"Latin", 3}});
    data.resize(data.size() - 2);
    printer.SetValue("KVFontGroupIndex", data);
    EXPECT_EQ("Quillon: error: Cannot use with this printer.\n", Run({"KV Receipt", Ini(kLatinIni)}).err);
}

TEST_F(QuillonProgram, BadIniShowsMessage104AndWritesNothing) {
    for (const char* body : {"[Other]\nFontGroupName=\"Latin\"\n", "[Quillon]\n0x41=1:0x42\nFontGroupName=\"Latin\"\n",
                             "[Quillon]\nFontGroupName=\"Latin\"\n0X41=1:0x42\n", "[Quillon]\nFontGroupName=\n"}) {
        const Outcome o = Run({"KV Receipt", Ini(body)});
        EXPECT_EQ(1, o.exitCode) << body;
        EXPECT_EQ("Quillon: error: INI file format is not correct.\n", o.err) << body;
    }
    EXPECT_FALSE(printer.HasValue("KVCodePageTable"));
    EXPECT_FALSE(printer.HasValue("KVQuillon"));
}

TEST_F(QuillonProgram, UnsupportedGroupsWarnAndTheRestIsInstalled) {
    const Outcome o = Run({"KV Receipt", Ini("[Quillon]\nFontGroupName=\"Latin\"\n0x41=1:0x42\n"
                                             "FontGroupName=\"Cyrillic\"\n0x410=1:0x80\nFontGroupName=\"Arabic\"\n")});
    EXPECT_EQ(0, o.exitCode);
    EXPECT_EQ("Quillon: warning: The font group name(Arabic,Cyrillic) described in the file is not supported by the "
              "printer.\n",
              o.err);
    EXPECT_EQ(CodePageTable({{4, 3, 0}}), printer.Value("KVCodePageTable"));
    EXPECT_EQ(Concat({Words({1}), Record(3, 0x41, 1, 0x42)}), printer.Value("KVQuillon"));
}

TEST_F(QuillonProgram, NoSupportedGroupIsAnErrorAndWritesNothing) {
    printer.SetValue("KVCodePageTable", CodePageTable({{1, 3, 5}}));
    const ino_t before = Inode("KVCodePageTable");
    const Outcome o = Run({"KV Receipt", Ini("[Quillon]\nFontGroupName=\"Cyrillic\"\n0x410=1:0x80\n")});
    EXPECT_EQ(1, o.exitCode);
    EXPECT_EQ("Quillon: error: The font group name(Cyrillic) described in the file is not supported by the printer.\n",
              o.err);
    EXPECT_EQ(before, Inode("KVCodePageTable"));
    EXPECT_FALSE(printer.HasValue("KVQuillon"));
}

TEST_F(QuillonProgram, ReadOnlyPrinterShowsMessage106) {
    ASSERT_EQ(0, chmod(printer.Folder().c_str(), 0555));
    const Outcome o = Run({"KV Receipt", Ini(kLatinIni)});
    EXPECT_EQ(1, o.exitCode);
    EXPECT_EQ("Quillon: error: You do not have an administrative right for the printer.\n", o.err);
    EXPECT_FALSE(printer.HasValue("KVCodePageTable"));
}

TEST_F(QuillonProgram, InstallWritesBothTablesByteExact) {
    printer.SetValue("KVCodePageTable", CodePageTable({{1, 7, 0x3A4}, {2, 100, 5}, {3, 7, 1}}));
    const Outcome o = Run({"KV Receipt", Ini("; mapping for the receipt fonts\n[Quillon]\n"
                                             "FontGroupName = \"Latin\"\n0x41 = 1:0x42\n0x41=2:0x43\n0x7E=1:0xFFFF\n"
                                             "FontGroupName=\"Kana\"\n0xFF61=1:0xA1\n"
                                             "FontGroupName=\"Symbol\"\n")});
    EXPECT_EQ(0, o.exitCode) << o.err;
    EXPECT_EQ("", o.err);
    EXPECT_EQ("", o.out);
    // Key order Kana, Latin, Symbol; Kana and the third driver entry share index 7.
    EXPECT_EQ(CodePageTable({{4, 7, 0}, {2, 100, 5}, {4, 7, 0}, {4, 3, 0}, {4, 9, 0}}), printer.Value("KVCodePageTable"));
    EXPECT_EQ(3u, printer.Type("KVCodePageTable"));
    EXPECT_EQ(Concat({Words({3}), Record(7, 0xFF61, 1, 0xA1), Record(3, 0x41, 2, 0x43), Record(3, 0x7E, 1, 0xFFFF)}),
              printer.Value("KVQuillon"));
    EXPECT_EQ(3u, printer.Type("KVQuillon"));
}

TEST_F(QuillonProgram, RemoveWithNothingToRemoveExitsZeroAndWritesNothing) {
    Outcome o = Run({"KV Receipt"});
    EXPECT_EQ(0, o.exitCode);
    EXPECT_EQ("", o.err);
    EXPECT_FALSE(printer.HasValue("KVCodePageTable"));

    printer.SetValue("KVCodePageTable", CodePageTable({{1, 7, 0x3A4}}));
    const ino_t before = Inode("KVCodePageTable");
    o = Run({"KV Receipt"});
    EXPECT_EQ(0, o.exitCode);
    EXPECT_EQ(before, Inode("KVCodePageTable"));
}

TEST_F(QuillonProgram, RemoveOnAnEmptyCodePageTableExitsZeroAndWritesNothing) {
    printer.SetValue("KVCodePageTable", Bytes());
    const ino_t before = Inode("KVCodePageTable");
    const Outcome o = Run({"KV Receipt"});
    EXPECT_EQ(0, o.exitCode);
    EXPECT_EQ("", o.err);
    EXPECT_EQ("", o.out);
    EXPECT_EQ(before, Inode("KVCodePageTable"));
    EXPECT_EQ(Bytes(), printer.Value("KVCodePageTable"));
}

TEST_F(QuillonProgram, RemoveAfterInstallDropsOwnEntriesAndKeepsTheDriversInOrder) {
    printer.SetValue("KVCodePageTable", CodePageTable({{1, 20, 1}, {2, 21, 2}, {3, 22, 3}}));
    ASSERT_EQ(0, Run({"KV Receipt", Ini("[Quillon]\nFontGroupName=\"Latin\"\nFontGroupName=\"Symbol\"\n")}).exitCode);
    ASSERT_EQ(CodePageTable({{1, 20, 1}, {2, 21, 2}, {3, 22, 3}, {4, 3, 0}, {4, 9, 0}}), printer.Value("KVCodePageTable"));
    const Outcome o = Run({"KV Receipt"});
    EXPECT_EQ(1, o.exitCode);
    EXPECT_EQ("", o.err);
    EXPECT_EQ(CodePageTable({{1, 20, 1}, {2, 21, 2}, {3, 22, 3}}), printer.Value("KVCodePageTable"));
    EXPECT_EQ(0, Run({"KV Receipt"}).exitCode);
}

TEST_F(QuillonProgram, RemoveOnAReadOnlyPrinterShowsMessage106) {
    printer.SetValue("KVCodePageTable", CodePageTable({{4, 3, 0}}));
    ASSERT_EQ(0, chmod(printer.Folder().c_str(), 0555));
    const Outcome o = Run({"KV Receipt"});
    EXPECT_EQ(1, o.exitCode);
    EXPECT_EQ("Quillon: error: You do not have an administrative right for the printer.\n", o.err);
    EXPECT_EQ(CodePageTable({{4, 3, 0}}), printer.Value("KVCodePageTable"));
}

TEST_F(QuillonProgram, JapaneseLocaleShowsJapaneseTexts) {
    EXPECT_EQ("Quillon: エラー: コマンドラインの指定が間違っています。\n", Run({}, "ja_JP.UTF-8").err);
    const Outcome o = Run({"KV Receipt", Ini("[Quillon]\nFontGroupName=\"Latin\"\nFontGroupName=\"Greek\"\n")},
                          "ja_JP.UTF-8");
    EXPECT_EQ(0, o.exitCode);
    EXPECT_EQ("Quillon: 警告: ファイルに記述されているGreekがプリンターでサポートされていません。\n", o.err);
}

TEST_F(QuillonProgram, Utf16IniWithByteOrderMarkInstalls) {
    const std::u16string body = u"[Quillon]\r\nFontGroupName=\"Kana\"\r\n0x3042=1:0xB1\r\n";
    std::string file = "\xFF\xFE";
    for (char16_t c : body) file += static_cast<char>(c & 0xFF), file += static_cast<char>(c >> 8);
    EXPECT_EQ(0, Run({"KV Receipt", Ini(file)}).exitCode);
    EXPECT_EQ(Concat({Words({1}), Record(7, 0x3042, 1, 0xB1)}), printer.Value("KVQuillon"));
}

}  // namespace
