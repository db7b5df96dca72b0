// Things that are not plug-ins, named in a request: each is answered with a clear error and a
// complete record, and the server goes on with the next request.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/robust/robust_support.h"

namespace {

// The x86 build's fixtures, beside this build's tree.
std::wstring OtherArchitecturePlugin(const std::wstring& name) {
    return TestHost::BinaryFolder() + L"\\..\\..\\" + Wide(ROBUST_OTHER_ARCH) + L"\\bin\\plugins\\" + name + L".dll";
}

std::wstring MakeFolders(const std::wstring& base, const std::wstring& segment, int count) {
    std::wstring path = base;
    for (int i = 0; i < count; ++i) {
        path += L"\\" + segment;
        CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr);
    }
    return path;
}

enum class EVerdict {
    Refused,  // the loader refuses it, with the code given
    Loaded,   // it loads; the probe answers with the error given ("" for a plug-in)
    Either,   // the loader decides; loaded, it is the well-behaved plug-in
};

struct SThingCase {
    const char* name;
    // Makes the thing in the scratch folder and returns the request's path.
    std::function<std::wstring(const std::wstring& scratch)> make;
    EVerdict verdict;
    // Refused: the code this test bench's loader (Wine) gives. The test checks it against a
    // load of the same path in its own process, so on another loader only this column changes.
    DWORD code;
    const char* error;
};

void PrintTo(const SThingCase& c, std::ostream* out) { *out << c.name; }

class NotAPluginTest : public testing::TestWithParam<SThingCase> {};

const std::string kLongSegment(100, 'L');

}  // namespace

TEST_P(NotAPluginTest, IsAnsweredWithAClearErrorAndTheServerGoesOn) {
    const SThingCase& c = GetParam();
    ScratchFolder scratch(L"things");
    ASSERT_TRUE(scratch.valid());
    std::wstring path = c.make(scratch.path());
    ASSERT_FALSE(path.empty());

    // The platform's own verdict on the same path, in this process.
    DWORD here = LoadErrorHere(path);
    if (c.verdict == EVerdict::Refused) {
        EXPECT_EQ(here, c.code) << "the loader here gives another code";
    } else if (c.verdict == EVerdict::Loaded) {
        EXPECT_EQ(here, 0u) << "the loader here refuses it";
    }

    TestHost host;
    ASSERT_TRUE(host.Start());
    ASSERT_FALSE(host.ReadUntilPrompt().empty());
    std::string answer = Ask(host, path);
    ASSERT_FALSE(host.timedOut()) << host.Rest();
    EXPECT_EQ(SplitLines(answer).front(), "info:Scanning plugin: '" + Utf8(path) + "'");
    SRecord record = CompleteRecord(answer);
    if (here != 0) {
        EXPECT_EQ(record.Member("error"), LoadFailure(here));
    } else {
        EXPECT_EQ(record.Member("error"), c.error);
        if (record.Member("error").empty()) {
            EXPECT_EQ(record.Member("name"), "Hostile Fixture");
        }
    }

    // Alive and sound for the next request.
    std::string next = Ask(host, PluginPath(L"hostile-well-behaved"));
    ASSERT_FALSE(host.timedOut()) << host.Rest();
    EXPECT_EQ(CompleteRecord(next).Member("name"), "Hostile Fixture");
    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
    if (!HasFailure()) ++Tally().faults;
}

INSTANTIATE_TEST_SUITE_P(Things, NotAPluginTest,
    testing::Values(
        SThingCase{"TextFileRenamedDll",
                   [](const std::wstring& scratch) {
                       std::wstring path = scratch + L"\\readme.dll";
                       return WriteWholeFile(path, "Not a library, only text.\r\n") ? path : L"";
                   },
                   EVerdict::Refused, ERROR_BAD_EXE_FORMAT, ""},
        SThingCase{"EmptyFile",
                   [](const std::wstring& scratch) {
                       std::wstring path = scratch + L"\\empty.dll";
                       return WriteWholeFile(path, "") ? path : L"";
                   },
                   EVerdict::Refused, ERROR_BAD_EXE_FORMAT, ""},
        SThingCase{"Folder",
                   [](const std::wstring& scratch) {
                       std::wstring path = scratch + L"\\folder.dll";
                       return CreateDirectoryW(path.c_str(), nullptr) ? path : L"";
                   },
                   EVerdict::Refused, ERROR_ACCESS_DENIED, ""},
        SThingCase{"MissingFile", [](const std::wstring& scratch) { return scratch + L"\\missing.dll"; },
                   EVerdict::Refused, ERROR_MOD_NOT_FOUND, ""},
        SThingCase{"Executable",
                   [](const std::wstring&) { return TestHost::BinaryFolder() + L"\\robust-not-a-plugin.exe"; },
                   EVerdict::Loaded, 0, "Entry point not found, not a VST plugin"},
        SThingCase{"OtherArchitecture",
                   [](const std::wstring&) { return OtherArchitecturePlugin(L"hostile-well-behaved"); },
                   EVerdict::Refused, ERROR_BAD_EXE_FORMAT, ""},
        SThingCase{"DllMainFails", [](const std::wstring&) { return PluginPath(L"hostile-dllmain-fails"); },
                   EVerdict::Refused, ERROR_DLL_INIT_FAILED, ""},
        SThingCase{"NonAsciiPath",
                   [](const std::wstring& scratch) {
                       std::wstring folder = scratch + L"\\Plug-ins \x00E9\x00FC \x97F3 \xD83D\xDE00";
                       std::wstring path = folder + L"\\Caf\x00E9 \x03A9.dll";
                       bool made = CreateDirectoryW(folder.c_str(), nullptr) &&
                                   CopyFileW(PluginPath(L"hostile-well-behaved").c_str(), path.c_str(), TRUE);
                       return made ? path : L"";
                   },
                   EVerdict::Loaded, 0, ""},
        SThingCase{"NonAsciiMissing",
                   [](const std::wstring& scratch) { return scratch + L"\\\x00DCn\x00EFc\x00F6d\x00E9 \x97F3.dll"; },
                   EVerdict::Refused, ERROR_MOD_NOT_FOUND, ""},
        SThingCase{"PathBeyond260",
                   [](const std::wstring& scratch) {
                       std::wstring folder = MakeFolders(scratch, Wide(kLongSegment), 3);
                       std::wstring path = folder + L"\\long.dll";
                       bool copied = CopyFileW(PluginPath(L"hostile-well-behaved").c_str(),
                                               (L"\\\\?\\" + path).c_str(), TRUE);
                       return copied && path.size() > MAX_PATH ? path : L"";
                   },
                   EVerdict::Either, 0, ""},
        SThingCase{"PrefixedPathBeyond260",
                   [](const std::wstring& scratch) {
                       std::wstring folder = MakeFolders(scratch, Wide(kLongSegment), 3);
                       std::wstring path = L"\\\\?\\" + folder + L"\\long.dll";
                       bool copied = CopyFileW(PluginPath(L"hostile-well-behaved").c_str(), path.c_str(), TRUE);
                       return copied ? path : L"";
                   },
                   EVerdict::Either, 0, ""},
        SThingCase{"DeviceNul", [](const std::wstring&) { return std::wstring(L"NUL"); }, EVerdict::Refused,
                   ERROR_INVALID_HANDLE, ""},
        SThingCase{"DeviceCon", [](const std::wstring&) { return std::wstring(L"CON"); }, EVerdict::Refused,
                   ERROR_INVALID_NAME, ""},
        SThingCase{"DeviceCom1", [](const std::wstring&) { return std::wstring(L"COM1"); }, EVerdict::Refused,
                   ERROR_INVALID_HANDLE, ""},
        SThingCase{"NamedPipe", [](const std::wstring&) { return std::wstring(L"\\\\.\\pipe\\robust-not-a-module"); },
                   EVerdict::Refused, ERROR_MOD_NOT_FOUND, ""}),
    [](const testing::TestParamInfo<SThingCase>& info) { return std::string(info.param.name); });
