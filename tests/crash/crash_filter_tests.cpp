#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "crash/crash_filter.h"
#include "simple/platform.h"
#include "tests/support/test_host.h"
#include "tests/support/win_handle.h"

namespace {

constexpr DWORD kAccessViolation = 0xC0000005;
constexpr uint32_t kMinidumpSignature = 0x504D444D;  // "MDMP"
constexpr uint32_t kThreadListStream = 3;
constexpr uint32_t kExceptionStream = 6;
const std::wstring kPrefix = L"ScanServer-" SCAN_PLATFORM;

// ---- The dump file name, formatted in this process -------------------------------------------

SYSTEMTIME Time(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME time = {};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    time.wDayOfWeek = 4;
    time.wMilliseconds = 987;  // neither is part of the name
    return time;
}

struct SNameCase {
    const char* what;
    std::wstring folder;
    SYSTEMTIME time;
    bool fits;
    std::wstring expected;
};

TEST(DumpFileNameTest, FormatsFolderPrefixAndLocalTime) {
    // "\" + prefix + "-YYYY-MM-DD-hh-mm-ss" + ".mdmp" is 40 units after the folder.
    const std::wstring longest(MAX_PATH - 1 - 40, L'd');
    const SNameCase cases[] = {
        {"plain folder", L"D:\\Dumps", Time(2024, 3, 7, 14, 5, 9), true,
         L"D:\\Dumps\\ScanServer-x86-2024-03-07-14-05-09.mdmp"},
        {"trailing backslash kept", L"D:\\Dumps\\", Time(2024, 3, 7, 14, 5, 9), true,
         L"D:\\Dumps\\\\ScanServer-x86-2024-03-07-14-05-09.mdmp"},
        {"short year padded", L"C:\\d", Time(999, 12, 31, 23, 59, 58), true,
         L"C:\\d\\ScanServer-x86-0999-12-31-23-59-58.mdmp"},
        {"long year whole", L"C:\\d", Time(12345, 1, 1, 0, 0, 0), true,
         L"C:\\d\\ScanServer-x86-12345-01-01-00-00-00.mdmp"},
        {"259 units fit", longest, Time(2024, 3, 7, 14, 5, 9), true,
         longest + L"\\ScanServer-x86-2024-03-07-14-05-09.mdmp"},
        {"260 units do not", longest + L"d", Time(2024, 3, 7, 14, 5, 9), false, L""},
        {"far too long", std::wstring(600, L'd'), Time(2024, 3, 7, 14, 5, 9), false, L""},
    };
    for (const SNameCase& c : cases) {
        SCOPED_TRACE(c.what);
        wchar_t name[MAX_PATH];
        wmemset(name, L'#', MAX_PATH);
        EXPECT_EQ(FormatDumpFileName(name, c.folder.c_str(), L"ScanServer-x86", c.time), c.fits);
        if (c.fits) {
            EXPECT_EQ(std::wstring(name), c.expected);
        } else {
            EXPECT_EQ(name[0], L'\0');
        }
    }
}

// ---- Real crashing processes --------------------------------------------------------------------

// A fresh folder under the temporary folder, removed with everything in it.
class TempFolder {
public:
    TempFolder() {
        static int counter = 0;
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        m_path = std::wstring(temp) + L"crash_filter_tests-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(++counter);
        CreateDirectoryW(m_path.c_str(), nullptr);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder() { Remove(m_path); }

    const std::wstring& Path() const { return m_path; }

private:
    static void Remove(const std::wstring& folder) {
        WIN32_FIND_DATAW entry;
        HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = entry.cFileName;
                if (name == L"." || name == L"..") continue;
                std::wstring path = folder + L"\\" + name;
                if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    Remove(path);
                else
                    DeleteFileW(path.c_str());
            } while (FindNextFileW(find, &entry));
            FindClose(find);
        }
        RemoveDirectoryW(folder.c_str());
    }

    std::wstring m_path;
};

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow += c < 0x80 ? static_cast<char>(c) : '?';
    return narrow;
}

std::vector<std::wstring> ListFiles(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return names;
}

std::string ReadWholeFile(const std::wstring& path) {
    WinHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    std::string bytes;
    if (!file.valid()) return bytes;
    char buffer[65536];
    DWORD count = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &count, nullptr) && count) bytes.append(buffer, count);
    return bytes;
}

// One argument as the C runtime splits command lines: quoted, backslashes before a quote doubled.
std::wstring QuoteArgument(const std::wstring& argument) {
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

struct SFault {
    DWORD threadId;
    uint64_t address;
};

struct SCrashRun {
    DWORD exitCode = 0;
    bool exited = false;
    std::vector<SFault> faults;
    SYSTEMTIME faultTime = {};  // local time just before the first fault
    SYSTEMTIME after = {};      // local time once the process had ended
};

// Runs the crasher with mode and, when folder is given, the dump folder as its second
// argument; its standard output goes to a file in work, which is also its current folder.
// Another program path than the crasher's own can be given.
SCrashRun RunCrasher(const std::wstring& mode, const std::wstring* folder, const std::wstring& work,
                     const std::wstring& program = TestHost::BinaryFolder() + L"\\crasher.exe") {
    SCrashRun run;
    std::wstring outputPath = work + L"\\crasher-output.txt";
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    WinHandle output(CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!output.valid()) {
        ADD_FAILURE() << "CreateFileW for the crasher's output failed, err=" << GetLastError();
        return run;
    }
    std::wstring commandLine = QuoteArgument(program) + L" " + mode;
    if (folder) commandLine += L" " + QuoteArgument(*folder);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output.get();
    PROCESS_INFORMATION created = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, work.c_str(), &startup,
                        &created)) {
        ADD_FAILURE() << "CreateProcessW failed, err=" << GetLastError();
        return run;
    }
    WinHandle process(created.hProcess);
    WinHandle thread(created.hThread);
    output.reset();
    if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 0xDEAD);
        WaitForSingleObject(process.get(), 5000);
        ADD_FAILURE() << "the crasher did not end";
        return run;
    }
    GetLocalTime(&run.after);
    GetExitCodeProcess(process.get(), &run.exitCode);
    run.exited = true;

    std::string text = ReadWholeFile(outputPath);
    DeleteFileW(outputPath.c_str());
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        unsigned long id = 0;
        unsigned long long address = 0;
        unsigned y, mo, d, h, mi, s;
        if (sscanf(line.c_str(), "fault %lx %llx", &id, &address) == 2) {
            run.faults.push_back({static_cast<DWORD>(id), address});
        } else if (sscanf(line.c_str(), "time %u %u %u %u %u %u", &y, &mo, &d, &h, &mi, &s) == 6) {
            run.faultTime = Time(static_cast<WORD>(y), static_cast<WORD>(mo), static_cast<WORD>(d),
                                 static_cast<WORD>(h), static_cast<WORD>(mi), static_cast<WORD>(s));
            run.faultTime.wMilliseconds = 0;
        }
    }
    return run;
}

uint64_t Seconds(const SYSTEMTIME& time) {
    SYSTEMTIME whole = time;
    whole.wMilliseconds = 0;
    FILETIME file;
    SystemTimeToFileTime(&whole, &file);
    return ((static_cast<uint64_t>(file.dwHighDateTime) << 32) | file.dwLowDateTime) / 10000000;
}

// The dump's file name as the crash must have formatted it: the local time of the crash lies
// between the crasher's last reading and the end of the process (either second, if it ticked).
bool IsDumpNameOfCrash(const std::wstring& name, const SCrashRun& run) {
    uint64_t first = Seconds(run.faultTime);
    uint64_t last = Seconds(run.after);
    for (uint64_t second = first; second <= last && second < first + 3600; ++second) {
        uint64_t ticks = second * 10000000;
        FILETIME file = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
        SYSTEMTIME time;
        FileTimeToSystemTime(&file, &time);
        wchar_t expected[64];
        swprintf(expected, 64, L"%ls-%04u-%02u-%02u-%02u-%02u-%02u.mdmp", kPrefix.c_str(), time.wYear, time.wMonth,
                 time.wDay, time.wHour, time.wMinute, time.wSecond);
        if (name == expected) return true;
    }
    return false;
}

// What the test reads from a minidump, parsed from its header and stream directory.
struct SMinidump {
    bool parsed = false;
    uint32_t signature = 0;
    uint32_t version = 0;
    bool hasException = false;
    uint32_t exceptionThreadId = 0;
    uint32_t exceptionCode = 0;
    uint32_t parameterCount = 0;
    uint64_t accessKind = 0;     // first access-violation parameter: 1 for a write
    uint64_t accessAddress = 0;  // second: the address that faulted
    uint32_t contextSize = 0;
    std::vector<uint32_t> threadIds;
};

class CByteReader {
public:
    explicit CByteReader(const std::string& bytes) : m_bytes(bytes) {}
    bool Fits(uint64_t offset, uint64_t size) const { return offset + size <= m_bytes.size(); }
    uint32_t U32(uint64_t offset) const { return Read<uint32_t>(offset); }
    uint64_t U64(uint64_t offset) const { return Read<uint64_t>(offset); }

private:
    template <typename T>
    T Read(uint64_t offset) const {
        T value = 0;
        if (Fits(offset, sizeof value)) memcpy(&value, m_bytes.data() + offset, sizeof value);
        return value;
    }
    const std::string& m_bytes;
};

SMinidump ParseMinidump(const std::string& bytes) {
    SMinidump dump;
    CByteReader in(bytes);
    if (!in.Fits(0, 32)) return dump;
    dump.signature = in.U32(0);
    dump.version = in.U32(4);
    uint32_t streams = in.U32(8);
    uint32_t directory = in.U32(12);
    if (!in.Fits(directory, uint64_t{streams} * 12)) return dump;
    for (uint32_t i = 0; i < streams; ++i) {
        uint64_t entry = directory + uint64_t{i} * 12;
        uint32_t type = in.U32(entry);
        uint32_t size = in.U32(entry + 4);
        uint32_t rva = in.U32(entry + 8);
        if (!in.Fits(rva, size)) return dump;
        if (type == kExceptionStream && size >= 168) {
            // ThreadId, alignment, then the exception record: code, flags, nested record,
            // address, parameter count, alignment, 15 parameters; then the context location.
            dump.hasException = true;
            dump.exceptionThreadId = in.U32(rva);
            dump.exceptionCode = in.U32(rva + 8);
            dump.parameterCount = in.U32(rva + 32);
            dump.accessKind = in.U64(rva + 40);
            dump.accessAddress = in.U64(rva + 48);
            dump.contextSize = in.U32(rva + 160);
        } else if (type == kThreadListStream && size >= 4) {
            uint32_t count = in.U32(rva);
            if (uint64_t{count} * 48 + 4 > size) return dump;
            for (uint32_t t = 0; t < count; ++t) dump.threadIds.push_back(in.U32(rva + 4 + uint64_t{t} * 48));
        }
    }
    dump.parsed = true;
    return dump;
}

// Checks that the file is a minidump of the crash: its exception stream names one of the
// faulting threads with an access violation writing to that thread's address.
void ExpectDumpOfCrash(const std::wstring& path, const SCrashRun& run) {
    SMinidump dump = ParseMinidump(ReadWholeFile(path));
    ASSERT_TRUE(dump.parsed) << "not a readable minidump";
    EXPECT_EQ(dump.signature, kMinidumpSignature);
    EXPECT_EQ(dump.version & 0xFFFF, 0xA793u);
    ASSERT_TRUE(dump.hasException) << "no exception stream";
    const SFault* fault = nullptr;
    for (const SFault& f : run.faults)
        if (f.threadId == dump.exceptionThreadId) fault = &f;
    ASSERT_NE(fault, nullptr) << "the exception stream names thread " << dump.exceptionThreadId
                              << ", which did not fault";
    EXPECT_EQ(dump.exceptionCode, kAccessViolation);
    ASSERT_GE(dump.parameterCount, 2u);
    EXPECT_EQ(dump.accessKind, 1u);
    EXPECT_EQ(dump.accessAddress, fault->address);
    EXPECT_GT(dump.contextSize, 0u);
    EXPECT_NE(std::find(dump.threadIds.begin(), dump.threadIds.end(), fault->threadId), dump.threadIds.end())
        << "the faulting thread is missing from the thread list";
}

struct SDumpCase {
    const char* what;
    const wchar_t* mode;
    const wchar_t* folderSuffix;  // appended to the existing dump folder on the command line
    size_t faults;
};

TEST(CrashFilterTest, CrashWritesOneDumpNamedAfterLocalTimeAndExitsWithNine) {
    const SDumpCase cases[] = {
        {"main thread", L"main", L"", 1},
        {"second thread", L"thread", L"", 1},
        {"two threads at once", L"two-threads", L"", 2},
        {"folder with a trailing backslash", L"main", L"\\", 1},
    };
    for (const SDumpCase& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder work;
        std::wstring dumps = work.Path() + L"\\dumps";
        ASSERT_TRUE(CreateDirectoryW(dumps.c_str(), nullptr));
        std::wstring argument = dumps + c.folderSuffix;

        SCrashRun run = RunCrasher(c.mode, &argument, work.Path());
        ASSERT_TRUE(run.exited);
        EXPECT_EQ(run.exitCode, kCrashExitCode);
        ASSERT_EQ(run.faults.size(), c.faults);

        std::vector<std::wstring> files = ListFiles(dumps);
        ASSERT_EQ(files.size(), 1u);
        EXPECT_TRUE(IsDumpNameOfCrash(files[0], run)) << "unexpected dump name";
        ExpectDumpOfCrash(dumps + L"\\" + files[0], run);
    }
}

TEST(CrashFilterTest, CrashWithoutUsableFolderWritesNothingAndExitsWithNine) {
    TempFolder work;
    std::wstring dumps = work.Path() + L"\\dumps";
    ASSERT_TRUE(CreateDirectoryW(dumps.c_str(), nullptr));
    // "\." segments lead back to the dumps folder but make the name longer than a path may
    // be: cut short, it would still name a file in there.
    std::wstring tooLong = dumps;
    while (tooLong.size() < MAX_PATH - 30) tooLong += L"\\.";
    const std::wstring missing = dumps + L"\\missing\\deeper";
    const std::wstring empty;

    struct SCase {
        const char* what;
        const std::wstring* folder;  // null: no second argument
    } const cases[] = {
        {"no folder argument", nullptr},
        {"empty folder argument", &empty},
        {"folder that does not exist", &missing},
        {"name longer than a path", &tooLong},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.what);
        SCrashRun run = RunCrasher(L"main", c.folder, dumps);
        ASSERT_TRUE(run.exited);
        EXPECT_EQ(run.exitCode, kCrashExitCode);
        EXPECT_EQ(run.faults.size(), 1u);
        std::vector<std::wstring> files = ListFiles(dumps);
        EXPECT_TRUE(files.empty()) << "found " << files.size() << " file(s), the first one named "
                                   << (files.empty() ? std::string() : Narrow(files[0]));
    }
}

// A copy of the crasher under a name of its own, for which Wine's loader is told that
// "DbgHelp.dll" does not exist (a per-program setting of the Wine prefix, removed again).
class CrasherWithoutDbgHelp {
public:
    explicit CrasherWithoutDbgHelp(const std::wstring& folder) : m_path(folder + L"\\" + kName) {
        m_copied = CopyFileW((TestHost::BinaryFolder() + L"\\crasher.exe").c_str(), m_path.c_str(), FALSE);
        m_configured = RegSetKeyValueW(HKEY_CURRENT_USER, kKey, L"dbghelp", REG_SZ, L"", sizeof(wchar_t)) ==
                       ERROR_SUCCESS;
    }
    CrasherWithoutDbgHelp(const CrasherWithoutDbgHelp&) = delete;
    CrasherWithoutDbgHelp& operator=(const CrasherWithoutDbgHelp&) = delete;
    ~CrasherWithoutDbgHelp() {
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\crasher-without-dbghelp.exe");
        DeleteFileW(m_path.c_str());
    }

    bool ready() const { return m_copied && m_configured; }
    const std::wstring& Path() const { return m_path; }

private:
    static constexpr const wchar_t* kName = L"crasher-without-dbghelp.exe";
    static constexpr const wchar_t* kKey = L"Software\\Wine\\AppDefaults\\crasher-without-dbghelp.exe\\DllOverrides";
    std::wstring m_path;
    bool m_copied = false;
    bool m_configured = false;
};

TEST(CrashFilterTest, DumpLibraryIsLookedForOnlyWithFolder) {
    TempFolder work;
    std::wstring dumps = work.Path() + L"\\dumps";
    ASSERT_TRUE(CreateDirectoryW(dumps.c_str(), nullptr));
    CrasherWithoutDbgHelp crasher(work.Path());
    ASSERT_TRUE(crasher.ready());

    // The setting does hide the library from the copy.
    SCrashRun probe = RunCrasher(L"probe-dbghelp", nullptr, work.Path(), crasher.Path());
    ASSERT_TRUE(probe.exited);
    ASSERT_EQ(probe.exitCode, 1u);

    // Without a folder the filter ends the process before it would look for the library.
    SCrashRun noFolder = RunCrasher(L"main", nullptr, dumps, crasher.Path());
    ASSERT_TRUE(noFolder.exited);
    EXPECT_EQ(noFolder.exitCode, kCrashExitCode);

    // With a folder but no library the filter hands the crash to the system's default
    // handling, which ends the process with the exception code; nothing is written. (Under
    // Wine that handling runs the debugger, whose crash dialog the test prefix turns off.)
    SCrashRun noLibrary = RunCrasher(L"main", &dumps, work.Path(), crasher.Path());
    ASSERT_TRUE(noLibrary.exited);
    EXPECT_EQ(noLibrary.exitCode, kAccessViolation);
    EXPECT_TRUE(ListFiles(dumps).empty());
}

TEST(CrashFilterTest, SecondCrashInSameSecondReplacesEarlierDump) {
    TempFolder work;
    std::wstring dumps = work.Path() + L"\\dumps";
    ASSERT_TRUE(CreateDirectoryW(dumps.c_str(), nullptr));

    // Stand-ins for an earlier crash's dumps for every second of the next minute: larger than
    // any dump here, so a dump written over one without truncating it would keep its size.
    constexpr LONG kOldSize = 16 << 20;
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::vector<std::wstring> old;
    for (uint64_t second = Seconds(now); second < Seconds(now) + 60; ++second) {
        uint64_t ticks = second * 10000000;
        FILETIME file = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
        SYSTEMTIME time;
        FileTimeToSystemTime(&file, &time);
        wchar_t name[64];
        swprintf(name, 64, L"%ls-%04u-%02u-%02u-%02u-%02u-%02u.mdmp", kPrefix.c_str(), time.wYear, time.wMonth,
                 time.wDay, time.wHour, time.wMinute, time.wSecond);
        WinHandle handle(CreateFileW((dumps + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(handle.valid());
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(handle.get(), "OLD!", 4, &written, nullptr));
        SetFilePointer(handle.get(), kOldSize, nullptr, FILE_BEGIN);
        ASSERT_TRUE(SetEndOfFile(handle.get()));
        old.push_back(name);
    }

    SCrashRun run = RunCrasher(L"main", &dumps, work.Path());
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, kCrashExitCode);

    int replaced = 0;
    EXPECT_EQ(ListFiles(dumps).size(), old.size());
    for (const std::wstring& name : old) {
        std::string bytes = ReadWholeFile(dumps + L"\\" + name);
        if (bytes.compare(0, 4, "OLD!") == 0) {
            EXPECT_EQ(bytes.size(), static_cast<size_t>(kOldSize));
            continue;
        }
        ++replaced;
        EXPECT_TRUE(IsDumpNameOfCrash(name, run));
        EXPECT_LT(bytes.size(), static_cast<size_t>(kOldSize)) << "the earlier file was not truncated";
        ExpectDumpOfCrash(dumps + L"\\" + name, run);
    }
    EXPECT_EQ(replaced, 1) << "the crash's second was not among the earlier files";
}

}  // namespace
