// What happens when the process has no descriptors left for a worker's readiness wait.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "foundation/clock.h"
#include "server/http_thread.h"
#include "tests/support/test_client.h"

namespace {

// Uses up every descriptor below a lowered limit while it lives, then gives them back.
class CDescriptorsUsedUp {
public:
    CDescriptorsUsedUp() {
        getrlimit(RLIMIT_NOFILE, &m_saved);
        rlimit lowered = m_saved;
        lowered.rlim_cur = 256;
        if (setrlimit(RLIMIT_NOFILE, &lowered) != 0) return;
        for (;;) {
            const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd < 0) break;
            m_fillers.push_back(fd);
        }
    }
    ~CDescriptorsUsedUp() {
        for (int fd : m_fillers) close(fd);
        setrlimit(RLIMIT_NOFILE, &m_saved);
    }

private:
    rlimit m_saved{};
    std::vector<int> m_fillers;
};

}  // namespace

TEST(DescriptorExhaustion, AWorkerWithoutItsWaitTakesNoConnectionAndStopsAtOnce) {
    // The undefined-behaviour sanitizer needs a pipe the first time it checks a class's
    // type; a worker made beforehand lets it meet them all while descriptors are left.
    { CHttpThread acquainted; }
    std::unique_ptr<CHttpThread> pWorker;
    {
        CDescriptorsUsedUp exhausted;
        pWorker = std::make_unique<CHttpThread>();
    }
    CLoopbackPair pair;
    ASSERT_TRUE(pair.Open());
    ASSERT_TRUE(pWorker->Start());
    std::unique_ptr<CConnection> pConnection(new CConnection);
    ASSERT_TRUE(pConnection->Socket().Attach(pair.m_server.Detach()));
    // It could never watch the connection, so it must not take it.
    EXPECT_FALSE(pWorker->Place(pConnection));
    EXPECT_NE(pConnection, nullptr);
    const uint64_t start = GetTickCount64Ms();
    pWorker->Shutdown();
    EXPECT_LT(GetTickCount64Ms() - start, 5000u);
}
