// A server that keeps something of every request grows with the requests. After a warm-up, its
// private bytes may move by page-sized steps of heap and loader bookkeeping, but a leak of even
// one small block per request adds up to more than the bound over this run.
#include <gtest/gtest.h>

#include "bench/bench_host.h"
#include "bench/request_mix.h"
#include "tests/support/test_host.h"

namespace {

constexpr int kWarmUp = 200;
constexpr int kRequests = 2000;
constexpr size_t kBound = 192 * 1024;

}  // namespace

TEST(ServerMemory, PrivateBytesStayFlatOverMixedRequests) {
    std::vector<SMixedRequest> mix = MixedRequests(TestHost::BinaryFolder() + L"\\plugins");
    TestHost host;
    ASSERT_TRUE(host.Start());
    host.ReadUntilPrompt();
    ASSERT_FALSE(host.timedOut());
    auto run = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            const SMixedRequest& request = mix[i % mix.size()];
            std::string answer = host.Request(request.line);
            ASSERT_FALSE(host.timedOut()) << "request " << i << ": " << request.line;
            ASSERT_TRUE(AnswerFits(request, answer)) << request.line << "\n" << answer;
        }
    };
    run(0, kWarmUp);
    if (HasFatalFailure()) return;
    size_t before = PrivateBytes(host.process());
    ASSERT_NE(before, 0u);
    run(kWarmUp, kWarmUp + kRequests);
    if (HasFatalFailure()) return;
    size_t after = PrivateBytes(host.process());
    double growth = (static_cast<double>(after) - static_cast<double>(before)) / kRequests;
    EXPECT_LT(after, before + kBound) << "private bytes " << before << " -> " << after << " over " << kRequests
                                      << " requests: " << growth << " bytes per request";
    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
}
