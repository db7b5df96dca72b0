#include "host/collection.h"

#include <windows.h>

#include <algorithm>
#include <set>
#include <utility>

#include "host/utf.h"
#include "tests/support/win_handle.h"

namespace ScanHost {

namespace {

// Closes a FindFirstFileW search.
class FindHandle {
public:
    explicit FindHandle(HANDLE handle) : m_handle(handle) {}
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    ~FindHandle() {
        if (valid()) FindClose(m_handle);
    }
    bool valid() const { return m_handle != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return m_handle; }

private:
    HANDLE m_handle;
};

std::wstring FullPath(const std::wstring& path) {
    DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0) return path;
    std::wstring full(length, L'\0');
    length = GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
    full.resize(length);
    // A folder named with a trailing separator would otherwise give doubled separators.
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
    return full;
}

bool EndsWithDll(const std::wstring& name) {
    return name.size() >= 4 && FoldPath(name.substr(name.size() - 4)) == L".DLL";
}

// Identifies a folder across links: volume serial number and file index.
bool FolderIdentity(const std::wstring& folder, std::pair<uint64_t, uint64_t>& id) {
    WinHandle handle(CreateFileW(folder.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!handle.valid() || !GetFileInformationByHandle(handle.get(), &info)) return false;
    id = {info.dwVolumeSerialNumber, uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow};
    return true;
}

class Finder {
public:
    void Search(const std::wstring& folder) {
        std::pair<uint64_t, uint64_t> id;
        if (FolderIdentity(folder, id) && !m_visited.insert(id).second) return;
        WIN32_FIND_DATAW data;
        FindHandle find(FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                         nullptr, 0));
        if (!find.valid()) return;  // an unreadable folder holds nothing we can scan
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = folder + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                Search(path);
            else if (EndsWithDll(name))
                Add(path);
        } while (FindNextFileW(find.get(), &data));
    }

    void Add(const std::wstring& path) {
        if (m_seen.insert(FoldPath(path)).second) m_found.push_back(path);
    }

    std::vector<std::wstring> Take() {
        std::sort(m_found.begin(), m_found.end(),
                  [](const std::wstring& a, const std::wstring& b) { return FoldPath(a) < FoldPath(b); });
        return std::move(m_found);
    }

private:
    std::set<std::pair<uint64_t, uint64_t>> m_visited;
    std::set<std::wstring> m_seen;
    std::vector<std::wstring> m_found;
};

}  // namespace

std::wstring FoldPath(const std::wstring& path) {
    std::wstring folded = path;
    if (!folded.empty()) CharUpperBuffW(folded.data(), static_cast<DWORD>(folded.size()));
    return folded;
}

std::vector<std::wstring> FindPlugins(const std::vector<std::wstring>& paths) {
    Finder finder;
    for (const std::wstring& given : paths) {
        std::wstring path = FullPath(given);
        DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            throw PathError("cannot find " + ToUtf8(given) + " (error " + std::to_string(GetLastError()) + ")");
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            finder.Search(path);
        else
            finder.Add(path);  // a module named on the command line counts whatever its name
    }
    return finder.Take();
}

bool ReadFileStamp(const std::wstring& path, FileStamp& stamp) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    stamp.size = uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow;
    stamp.lastWrite = uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32 | data.ftLastWriteTime.dwLowDateTime;
    return true;
}

}  // namespace ScanHost
