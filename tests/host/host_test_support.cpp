#include "tests/host/host_test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "host/utf.h"

namespace {

void DeleteTree(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = folder + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteTree(path);
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

void CreateFolders(const std::wstring& file) {
    for (size_t at = file.find(L'\\', 3); at != std::wstring::npos; at = file.find(L'\\', at + 1))
        CreateDirectoryW(file.substr(0, at).c_str(), nullptr);
}

}  // namespace

TempFolder::TempFolder() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    static int counter = 0;
    for (;;) {
        m_path = std::wstring(base) + L"scanhost-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(++counter);
        if (CreateDirectoryW(m_path.c_str(), nullptr)) break;
    }
}

TempFolder::~TempFolder() { DeleteTree(m_path); }

void WriteFakeModule(const std::wstring& path, const std::string& behaviour, uint16_t machine) {
    std::string bytes(0x40 + 24, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    bytes[0x3C] = 0x40;  // the PE header follows the DOS header
    bytes.replace(0x40, 4, std::string("PE\0\0", 4));
    bytes[0x44] = static_cast<char>(machine & 0xFF);
    bytes[0x45] = static_cast<char>(machine >> 8);
    WriteBytes(path, bytes + "\nFAKE:" + behaviour + "\n");
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    CreateFolders(path);
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good()) << ScanHost::ToUtf8(path);
}

std::string ReadBytes(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void Touch(const std::wstring& path, int seconds) {
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME written;
    GetFileTime(file, nullptr, nullptr, &written);
    ULARGE_INTEGER time;
    time.LowPart = written.dwLowDateTime;
    time.HighPart = written.dwHighDateTime;
    time.QuadPart += static_cast<ULONGLONG>(seconds) * 10000000;
    written.dwLowDateTime = time.LowPart;
    written.dwHighDateTime = time.HighPart;
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
    CloseHandle(file);
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring BinaryFolder() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

std::wstring FakeServerFolder() { return BinaryFolder() + L"\\fakeserver"; }

std::wstring ScanHostPath() { return BinaryFolder() + L"\\scanhost.exe"; }

std::vector<std::string> ReadLines(const std::wstring& path) {
    std::vector<std::string> lines;
    std::istringstream in(ReadBytes(path));
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}
