// The requests behind the memory figures and the memory test: plain plug-ins loaded and freed,
// shells listed (one of 50 entries) and then scanned for a sub-plug-in on the kept module, and
// failures of each kind (a file that does not load, no entry point, an entry point that returns nothing, a bad
// magic number).
#pragma once

#include <string>
#include <vector>

struct SMixedRequest {
    std::string line;  // the request line, UTF-8, without its line feed
    bool fails;        // the answer has an "error:" line
};

// The cycle of requests for the fixture plug-ins in pluginFolder: ten of them, so that counts
// of 100, 1,000 and 10,000 requests all end at the same place in the cycle (the private bytes
// move by a step with the module that happens to be loaded). Sets BENCH_SHELL_SIZE in this
// process's environment for the bench shell of the mix, so start the server afterwards.
std::vector<SMixedRequest> MixedRequests(const std::wstring& pluginFolder);

// Whether an answer (everything before the next prompt) is what the request expects: one
// complete record, and an "error:" line exactly when the request fails.
bool AnswerFits(const SMixedRequest& request, const std::string& answer);
