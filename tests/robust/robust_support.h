// What the robustness tests share: the suite's tally, the hostile fixtures' paths, scratch
// folders, and the check that an answer is complete.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "tests/support/answer.h"
#include "tests/support/test_host.h"

// Counted over the whole run and printed at its end.
struct SRobustTally {
    std::atomic<long> requests{0};  // request lines written to a server
    std::atomic<long> faults{0};    // hostile inputs whose documented outcome was seen
    std::atomic<long> records{0};   // complete result records read
    std::atomic<long> dumps{0};     // crash dumps found valid
};
SRobustTally& Tally();

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);

// bin\plugins\<name>.dll beside the test executable.
std::wstring PluginPath(const std::wstring& name);

// Writes one request line (the bytes as given, then a line feed) and returns the answer up to
// the next prompt; empty with host.timedOut() set when no prompt came.
std::string Ask(TestHost& host, const std::string& line, DWORD timeoutMs = 20000);
std::string Ask(TestHost& host, const std::wstring& line, DWORD timeoutMs = 20000);

// What is wrong with an answer to one request, or "" when it is complete: every line a unit of
// a known level, exactly one result record with all its members in order closing the answer,
// and the error member matching the answer's one error line (or empty with none). Counts a
// complete record in the tally.
std::string AnswerProblem(const std::string& answer);
// The record of a complete answer; a test failure when it is not complete.
SRecord CompleteRecord(const std::string& answer);

// "Failed to load library, err=<code>".
std::string LoadFailure(DWORD code);
// What LoadLibraryExW says about path in this process: 0 when it loads (it is freed at once),
// otherwise the error code. Used only for files that are harmless to load.
DWORD LoadErrorHere(const std::wstring& path);

// A fresh folder under the temporary folder, removed with everything in it at the end.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::wstring& name);
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder();

    bool valid() const { return !m_path.empty(); }
    const std::wstring& path() const { return m_path; }

private:
    std::wstring m_path;
};

// Writes bytes into a new file; false when it could not be created.
bool WriteWholeFile(const std::wstring& path, const std::string& bytes);

// The names of the files in a folder.
std::vector<std::wstring> FilesIn(const std::wstring& folder);

// "" when folder holds exactly one dump, named for the server's prefix and a time stamp, that
// is a minidump whose exception stream holds exceptionCode; otherwise what is wrong. Counts a
// valid dump in the tally.
std::string DumpProblem(const std::wstring& folder, DWORD exceptionCode);

// The outcome of a plug-in fault: no record and no prompt after the request, exit code 9 and
// one valid dump.
void ExpectCrashWithDump(TestHost& host, const std::string& answer, const std::wstring& dumpFolder,
                         DWORD exceptionCode);
