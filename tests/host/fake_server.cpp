// A stand-in scan server for the scheduler tests: it speaks the pipe protocol like the real
// one, but does what a line in the named module file says instead of loading it, so that
// crashes, hangs, shells, protocol faults and stray exits are exact and instant. The module
// files are tiny PE headers followed by "FAKE:<behaviour>" (see scanner_tests.cpp).
//
// Behaviours: "ok NAME", "fail TEXT", "crash" (dump, exit code 9), "slow-crash" (a dump
// that takes 5 s to write), "hang", "exit N",
// "garbage" (a malformed record), "poison NAME" (answers, then dies when the next request
// arrives, before loading anything), "shell ID=NAME[:BEHAVIOUR] ..." (a shell; a request
// "path>ID" gets that sub-plug-in, whose behaviour is ok, crash or hang).
//
// Every start and request is appended to fake-requests.log in the parent of the dump folder,
// as "PID start" and "PID REQUEST".
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "simple/platform.h"

namespace {

HANDLE output = nullptr;
std::wstring dumpFolder;
bool poisoned = false;

void Write(const std::string& text) {
    DWORD written = 0;
    WriteFile(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::wstring Wide(const std::string& text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
    out.resize(n - 1);
    return out;
}

void Log(const std::string& line) {
    std::wstring file = dumpFolder + L"\\..\\fake-requests.log";
    HANDLE log = CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string text = std::to_string(GetCurrentProcessId()) + " " + line + "\n";
    DWORD written = 0;
    WriteFile(log, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(log);
}

// The escaping the real server applies: everything outside printable ASCII as \uXXXX.
std::string Escape(const std::string& utf8) {
    std::string out;
    for (wchar_t c : Wide(utf8)) {
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char text[8];
            snprintf(text, sizeof text, "\\u%04x", static_cast<unsigned>(c));
            out += text;
        }
    }
    return out;
}

void WriteRecord(unsigned id, const std::string& name, const std::string& error, int category,
                 const std::vector<std::pair<unsigned, std::string>>& shells) {
    char line[64];
    Write(">:{\n");
    snprintf(line, sizeof line, ">:  \"id\":        \"%08X\",\n", id);
    Write(line);
    Write(">:  \"name\":      \"" + Escape(name) + "\",\n");
    Write(">:  \"vendor\":    \"Fake Vendor\",\n");
    Write(">:  \"product\":   \"" + Escape(name) + "\",\n");
    Write(">:  \"version\":   \"1.0.0.0\",\n");
    Write(">:  \"error\":     \"" + Escape(error) + "\",\n");
    Write(">:  \"numInputs\": 2,\n");
    Write(">:  \"numOutputs\":2,\n");
    Write(">:  \"wantsMidi\":  false,\n");
    Write(">:  \"sendsMidi\": false,\n");
    Write(">:  \"platform\":  \"" SCAN_PLATFORM_NARROW "\",\n");
    Write(">:  \"audio64\":   false,\n");
    snprintf(line, sizeof line, ">:  \"category\":  %d,\n", category);
    Write(line);
    Write(">:  \"synthEdit\": false,\n");
    if (category == 10) {
        Write(">:  \"shells\": {\n");
        for (const auto& [subId, subName] : shells) {
            snprintf(line, sizeof line, ">:        \"%08X\": \"", subId);
            Write(line + Escape(subName) + "\",\n");
        }
        Write(">:  },\n");
    }
    Write(">:}\n");
}

// slowly: the dump takes longer to write than a plug-in's timeout.
[[noreturn]] void Crash(DWORD slowlyMs = 0) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    wchar_t name[MAX_PATH];
    swprintf(name, MAX_PATH, L"%ls\\ScanServer-" SCAN_PLATFORM L"-%04d-%02d-%02d-%02d-%02d-%02d.mdmp", dumpFolder.c_str(), t.wYear,
             t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    HANDLE dump = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(dump, "MDMP", 4, &written, nullptr);
    Sleep(slowlyMs);
    CloseHandle(dump);
    TerminateProcess(GetCurrentProcess(), 9);
    for (;;) Sleep(INFINITE);
}

std::string Behaviour(const std::string& path) {
    std::ifstream in(Wide(path).c_str(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string content = text.str();
    size_t at = content.find("FAKE:");
    if (at == std::string::npos) return "";
    size_t end = content.find('\n', at);
    return content.substr(at + 5, end == std::string::npos ? std::string::npos : end - at - 5);
}

void Serve(const std::string& request, std::string& cached) {
    if (poisoned) Crash();  // what a previous plug-in's thread might do
    Write("info:Scanning plugin: '" + request + "'\n");
    size_t cut = request.find('>');
    std::string path = request.substr(0, cut);
    unsigned subId = cut == std::string::npos ? 0 : static_cast<unsigned>(strtoul(request.c_str() + cut + 1, nullptr, 16));
    if (path == cached) {
        Write("info:Re-using previous library instance...\n");
    } else {
        cached.clear();
        Write("info:Loading library...\n");
    }
    std::istringstream words(Behaviour(path));
    std::string verb;
    words >> verb;
    std::string rest;
    std::getline(words, rest);
    if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);

    if (verb == "shell") {
        std::vector<std::pair<unsigned, std::string>> shells;
        std::string subBehaviour = "ok";
        std::istringstream items(rest);
        std::string item;
        while (items >> item) {
            size_t equals = item.find('=');
            unsigned id = static_cast<unsigned>(strtoul(item.substr(0, equals).c_str(), nullptr, 16));
            std::string name = item.substr(equals + 1);
            size_t colon = name.find(':');
            std::string behaviour = colon == std::string::npos ? "ok" : name.substr(colon + 1);
            name = name.substr(0, colon);
            shells.emplace_back(id, name);
            if (id == subId) {
                subBehaviour = behaviour;
                rest = name;
            }
        }
        cached = path;
        if (subId == 0) {
            Write("info:Keeping shell library loaded for now...\n");
            WriteRecord(0x5348454C, "Fake Shell", "", 10, shells);
            return;
        }
        Write("info:Calling entry point...\n");
        if (subBehaviour == "crash") Crash();
        if (subBehaviour == "hang") Sleep(INFINITE);
        WriteRecord(subId, rest, "", 1, {});
        return;
    }
    Write("info:Calling entry point...\n");
    if (verb == "ok" || verb == "poison") {
        WriteRecord(0x46414B45, rest, "", 1, {});
        poisoned = verb == "poison";
    } else if (verb == "fail") {
        Write("error:" + rest + "\n");
        WriteRecord(0, "", rest, -1, {});
    } else if (verb == "crash") {
        Crash();
    } else if (verb == "slow-crash") {
        Crash(5000);
    } else if (verb == "hang") {
        Sleep(INFINITE);
    } else if (verb == "exit") {
        ExitProcess(static_cast<UINT>(atoi(rest.c_str())));
    } else if (verb == "garbage") {
        Write(">:{\n>:  \"id\": \"00000001\",\n>:  \"name\": \"bad \\q escape\",\n>:}\n");
    } else {
        Write("error:not a fake module\n");
        WriteRecord(0, "", "not a fake module", -1, {});
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (count < 5) return 2;
    HANDLE input = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(wcstoull(arguments[1], nullptr, 16)));
    output = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(wcstoull(arguments[2], nullptr, 16)));
    dumpFolder = arguments[4];
    Log("start");
    Write("info:Velmorant Plugin Scan Server (" SCAN_PLATFORM_NARROW ")\n");
    std::string cached;
    for (;;) {
        Write("ready:\n");
        char buffer[4096];
        DWORD read = 0;
        if (!ReadFile(input, buffer, sizeof buffer - 1, &read, nullptr) || read == 0) break;
        std::string request(buffer, read);
        request = request.substr(0, request.find('\n'));
        Log(request);
        Serve(request, cached);
    }
    return 0;
}
