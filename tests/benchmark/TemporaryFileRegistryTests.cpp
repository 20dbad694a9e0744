#include "FakeBenchmarkFileSystem.h"
#include "benchmark/TemporaryFileRegistry.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace tallowin {
namespace {

using testing::FakeBenchmarkFileSystem;
using Paths = std::vector<std::string>;

TEST(TemporaryFileRegistry, DrainReturnsEverythingOnceAndUnregisterOfAbsentDoesNothing)
{
    TemporaryFileRegistry registry;
    registry.registerFile("/a");
    registry.registerFile("/b");
    registry.registerFile("/a");
    registry.unregisterFile("/missing");
    auto drained = registry.drainPendingFiles();
    std::sort(drained.begin(), drained.end());
    EXPECT_EQ(drained, (Paths { "/a", "/b" }));
    EXPECT_TRUE(registry.drainPendingFiles().empty());
    registry.unregisterFile("/a"); // after a drain took it
    EXPECT_TRUE(registry.pendingFiles().empty());
}

class TemporaryFileCleanupTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeBenchmarkFileSystem> m_fileSystem = std::make_shared<FakeBenchmarkFileSystem>();
    std::shared_ptr<TemporaryFileCleanup> m_cleanup = TemporaryFileCleanup::create(m_fileSystem);

    void createRegistered(const std::string& path)
    {
        ASSERT_TRUE(m_fileSystem->createEmptyFile(path));
        m_cleanup->registry().registerFile(path);
    }
    bool waitForJobs()
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (m_cleanup->pendingJobs() > 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return m_cleanup->pendingJobs() == 0;
    }
};

TEST_F(TemporaryFileCleanupTest, SingleRemovalDeletesUnregistersAndRunsBeforeALaterCleanUp)
{
    m_cleanup->cleanUpPendingFiles();
    EXPECT_EQ(m_cleanup->queuedJobs(), 0) << "an empty registry queues no job";
    createRegistered("/v/Tallowin_IO_Test_1");
    m_cleanup->registry().registerFile("/v/already-gone");
    m_cleanup->removeTemporaryFile("/v/Tallowin_IO_Test_1");
    m_cleanup->removeTemporaryFile("/v/already-gone");
    m_cleanup->cleanUpPendingFiles(); // drains both paths too, but finds them gone
    ASSERT_TRUE(waitForJobs());
    EXPECT_EQ(m_fileSystem->removeAttempts(), 1);
    EXPECT_TRUE(m_fileSystem->files().empty());
    EXPECT_TRUE(m_cleanup->registry().pendingFiles().empty()) << "a vanished file counts as deleted";
}

TEST_F(TemporaryFileCleanupTest, FileThatCannotBeRemovedStaysRegisteredAndIsRetriedLater)
{
    createRegistered("/v/stuck");
    createRegistered("/v/free");
    m_fileSystem->unremovableContaining = "stuck";
    m_cleanup->removeTemporaryFile("/v/stuck");
    ASSERT_TRUE(waitForJobs());
    EXPECT_EQ(m_cleanup->registry().pendingFiles(), (Paths { "/v/free", "/v/stuck" }));

    m_cleanup->cleanUpPendingFiles();
    ASSERT_TRUE(waitForJobs());
    EXPECT_EQ(m_fileSystem->files(), (Paths { "/v/stuck" }));
    EXPECT_EQ(m_cleanup->registry().pendingFiles(), (Paths { "/v/stuck" }))
        << "registered again after its removal failed";

    m_fileSystem->unremovableContaining.clear();
    m_cleanup->cleanUpPendingFiles();
    ASSERT_TRUE(waitForJobs());
    EXPECT_TRUE(m_fileSystem->files().empty());
    EXPECT_TRUE(m_cleanup->registry().pendingFiles().empty());
}

}
}
