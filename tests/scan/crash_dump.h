// Checks of the minidump a crashed scan server leaves in its dump folder, and the temporary
// folder the tests hand it.
#pragma once

#include <windows.h>

#include <dbghelp.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cwctype>
#include <string>
#include <vector>

// A fresh, empty folder under the temporary folder, removed with its files at the end.
class TempFolder {
public:
    TempFolder() {
        static int counter = 0;
        wchar_t base[MAX_PATH];
        DWORD length = GetTempPathW(MAX_PATH, base);
        if (length == 0 || length >= MAX_PATH) return;
        std::wstring path = std::wstring(base) + L"scan-dumps-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(++counter);
        if (CreateDirectoryW(path.c_str(), nullptr)) m_path = path;
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder() {
        if (m_path.empty()) return;
        for (const std::wstring& name : Files()) DeleteFileW((m_path + L"\\" + name).c_str());
        RemoveDirectoryW(m_path.c_str());
    }

    bool valid() const { return !m_path.empty(); }
    const std::wstring& path() const { return m_path; }

    std::vector<std::wstring> Files() const {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((m_path + L"\\*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return names;
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
        } while (FindNextFileW(search, &found));
        FindClose(search);
        return names;
    }

private:
    std::wstring m_path;
};

// "ScanServer-x64-YYYY-MM-DD-hh-mm-ss.mdmp" (x86 in the x86 build).
inline bool IsDumpName(const std::wstring& name) {
#if defined(_WIN64)
    const std::wstring prefix = L"ScanServer-x64-";
#else
    const std::wstring prefix = L"ScanServer-x86-";
#endif
    const std::wstring stamp = L"0000-00-00-00-00-00";  // 0: any digit
    const std::wstring shape = prefix + stamp + L".mdmp";
    if (name.size() != shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        bool digit = i >= prefix.size() && i < prefix.size() + stamp.size() && shape[i] == L'0';
        if (digit ? !iswdigit(name[i]) : name[i] != shape[i]) return false;
    }
    return true;
}

// Exactly one dump, named for the prefix and a time stamp, that is a minidump whose exception
// stream holds the exception that ended the process.
inline void ExpectOneCrashDump(const TempFolder& folder, DWORD exceptionCode) {
    std::vector<std::wstring> files = folder.Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(IsDumpName(files[0])) << std::string(files[0].begin(), files[0].end());

    std::vector<char> bytes;
    if (FILE* file = _wfopen((folder.path() + L"\\" + files[0]).c_str(), L"rb")) {
        char buffer[65536];
        for (size_t count; (count = fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.insert(bytes.end(), buffer, buffer + count);
        fclose(file);
    }
    ASSERT_GE(bytes.size(), sizeof(MINIDUMP_HEADER));
    // "MDMP" read as a little-endian number.
    EXPECT_EQ(reinterpret_cast<const MINIDUMP_HEADER*>(bytes.data())->Signature, 0x504D444Du);

    MINIDUMP_DIRECTORY* directory = nullptr;
    void* stream = nullptr;
    ULONG size = 0;
    ASSERT_TRUE(MiniDumpReadDumpStream(bytes.data(), ExceptionStream, &directory, &stream, &size));
    ASSERT_GE(size, sizeof(MINIDUMP_EXCEPTION_STREAM));
    EXPECT_EQ(static_cast<const MINIDUMP_EXCEPTION_STREAM*>(stream)->ExceptionRecord.ExceptionCode, exceptionCode);
}
