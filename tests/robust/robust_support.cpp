#include "tests/robust/robust_support.h"

#include <dbghelp.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cwctype>
#include <vector>

namespace {

const std::vector<std::string> kMembers = {"id",         "name",      "vendor",    "product",  "version",
                                           "error",      "numInputs", "numOutputs", "wantsMidi", "sendsMidi",
                                           "platform",   "audio64",   "category",  "synthEdit"};

bool StartsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

// Removes a folder and everything below it. Paths may be longer than MAX_PATH: the caller
// passes them with the \\?\ prefix.
void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

}  // namespace

SRobustTally& Tally() {
    static SRobustTally tally;
    return tally;
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], size);
    return out;
}

std::wstring PluginPath(const std::wstring& name) { return TestHost::BinaryFolder() + L"\\plugins\\" + name + L".dll"; }

std::string Ask(TestHost& host, const std::string& line, DWORD timeoutMs) {
    ++Tally().requests;
    if (!host.Send(line + "\n")) return {};
    return host.ReadUntilPrompt(timeoutMs);
}

std::string Ask(TestHost& host, const std::wstring& line, DWORD timeoutMs) { return Ask(host, Utf8(line), timeoutMs); }

std::string AnswerProblem(const std::string& answer) {
    std::vector<std::string> lines = SplitLines(answer);
    if (lines.empty()) return "no answer";
    for (const std::string& line : lines) {
        if (!StartsWith(line, "info:") && !StartsWith(line, "warn:") && !StartsWith(line, "error:") &&
            !StartsWith(line, ">:"))
            return "a line that is not a unit: " + line.substr(0, 200);
    }
    if (answer.back() != '\n') return "the answer does not end with a line feed";
    SRecord record = ParseRecord(answer);
    if (record.records != 1) return "records in the answer: " + std::to_string(record.records);
    if (!record.wellFormed) return "the record is not well formed";
    std::vector<std::string> names;
    for (const auto& member : record.members) names.push_back(member.first);
    if (names != kMembers) return "the record's members differ";
    if (lines.back() != ">:}") return "the record does not close the answer";
    // The record's lines come in one piece: nothing at another level between them.
    size_t recordLines = 2 + record.members.size() + (record.hasShells ? record.shells.size() + 2 : 0);
    if (lines.size() < recordLines || lines[lines.size() - recordLines] != ">:{")
        return "lines at other levels inside the record";
    std::vector<std::string> errors = LinesAt(answer, "error");
    if (errors.size() > 1) return "more than one error line";
    std::string error = errors.empty() ? "" : errors[0];
    if (record.Member("error") != error) return "the record's error differs from the error line";
#if defined(_WIN64)
    if (record.Member("platform") != "x64") return "wrong platform";
#else
    if (record.Member("platform") != "x86") return "wrong platform";
#endif
    ++Tally().records;
    return "";
}

SRecord CompleteRecord(const std::string& answer) {
    EXPECT_EQ(AnswerProblem(answer), "") << answer.substr(0, 4000);
    return ParseRecord(answer);
}

std::string LoadFailure(DWORD code) { return "Failed to load library, err=" + std::to_string(static_cast<int>(code)); }

DWORD LoadErrorHere(const std::wstring& path) {
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) return GetLastError();
    FreeLibrary(module);
    return 0;
}

ScratchFolder::ScratchFolder(const std::wstring& name) {
    static int counter = 0;
    wchar_t base[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, base);
    if (length == 0 || length >= MAX_PATH) return;
    std::wstring path = std::wstring(base) + L"robust-" + name + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                        std::to_wstring(++counter);
    if (CreateDirectoryW(path.c_str(), nullptr)) m_path = path;
}

ScratchFolder::~ScratchFolder() {
    if (!m_path.empty()) RemoveTree(L"\\\\?\\" + m_path);
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = bytes.empty() || (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                                written == bytes.size());
    CloseHandle(file);
    return ok;
}

std::vector<std::wstring> FilesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

namespace {

// "ScanServer-x64-YYYY-MM-DD-hh-mm-ss.mdmp" (x86 in the x86 build).
bool IsDumpName(const std::wstring& name) {
#if defined(_WIN64)
    const std::wstring shape = L"ScanServer-x64-0000-00-00-00-00-00.mdmp";
#else
    const std::wstring shape = L"ScanServer-x86-0000-00-00-00-00-00.mdmp";
#endif
    if (name.size() != shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        bool digit = i >= 15 && i < 34 && shape[i] == L'0';
        if (digit ? !iswdigit(name[i]) : name[i] != shape[i]) return false;
    }
    return true;
}

std::string Hex(DWORD value) {
    char text[16];
    snprintf(text, sizeof text, "%08lX", static_cast<unsigned long>(value));
    return text;
}

}  // namespace

std::string DumpProblem(const std::wstring& folder, DWORD exceptionCode) {
    std::vector<std::wstring> files = FilesIn(folder);
    if (files.size() != 1) return "dumps in the folder: " + std::to_string(files.size());
    if (!IsDumpName(files[0])) return "unexpected dump name " + Utf8(files[0]);

    std::string bytes;
    HANDLE file = CreateFileW((folder + L"\\" + files[0]).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "the dump cannot be opened";
    char buffer[65536];
    DWORD count = 0;
    while (ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0) bytes.append(buffer, count);
    CloseHandle(file);

    if (bytes.size() < sizeof(MINIDUMP_HEADER)) return "the dump is too short";
    // "MDMP" read as a little-endian number.
    if (reinterpret_cast<const MINIDUMP_HEADER*>(bytes.data())->Signature != 0x504D444Du) return "no MDMP signature";
    void* stream = nullptr;
    ULONG size = 0;
    MINIDUMP_DIRECTORY* directory = nullptr;
    if (!MiniDumpReadDumpStream(&bytes[0], ExceptionStream, &directory, &stream, &size) ||
        size < sizeof(MINIDUMP_EXCEPTION_STREAM))
        return "no exception stream";
    const MINIDUMP_EXCEPTION_STREAM* exception = static_cast<const MINIDUMP_EXCEPTION_STREAM*>(stream);
    if (exception->ExceptionRecord.ExceptionCode != exceptionCode)
        return "exception " + Hex(exception->ExceptionRecord.ExceptionCode) + " instead of " + Hex(exceptionCode);
    if (exception->ThreadId == 0) return "no crashing thread";
    if (!MiniDumpReadDumpStream(&bytes[0], ThreadListStream, &directory, &stream, &size) || size < sizeof(ULONG32) ||
        static_cast<const MINIDUMP_THREAD_LIST*>(stream)->NumberOfThreads == 0)
        return "no thread list";
    ++Tally().dumps;
    return "";
}

void ExpectCrashWithDump(TestHost& host, const std::string& answer, const std::wstring& dumpFolder,
                         DWORD exceptionCode) {
    EXPECT_TRUE(host.timedOut()) << "a prompt after the fault:\n" << answer.substr(0, 2000);
    EXPECT_EQ(host.WaitForExit(), 9);
    std::string rest = answer + host.Rest();
    EXPECT_EQ(rest.find(">:{"), std::string::npos) << "a record after the fault:\n" << rest.substr(0, 2000);
    EXPECT_EQ(DumpProblem(dumpFolder, exceptionCode), "");
}
