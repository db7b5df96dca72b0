// Finding the plug-in modules of a collection and telling whether a file changed.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace ScanHost {

// A named path does not exist or cannot be read.
class PathError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Every PATH is a module or a folder searched recursively for files ending in ".dll" in any
// letter case. Returns full paths, each module once (paths compare without letter case),
// sorted. A folder reached twice through links is searched once.
std::vector<std::wstring> FindPlugins(const std::vector<std::wstring>& paths);

// What tells a changed file: its size and last-write time (FILETIME, 100 ns since 1601).
struct FileStamp {
    uint64_t size = 0;
    uint64_t lastWrite = 0;

    bool operator==(const FileStamp& other) const { return size == other.size && lastWrite == other.lastWrite; }
    bool operator!=(const FileStamp& other) const { return !(*this == other); }
};

// False when the file cannot be read (it is gone, or no rights).
bool ReadFileStamp(const std::wstring& path, FileStamp& stamp);

// The form in which paths are compared: Windows paths ignore letter case.
std::wstring FoldPath(const std::wstring& path);

}  // namespace ScanHost
