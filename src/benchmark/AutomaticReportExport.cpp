// The automatic report export of a successful test: the report is built and written on the
// tester's export queue, and its notice (or failure) is published on the main thread.
#include "benchmark/DiskPerformanceTester.h"
#include "benchmark/PerformanceReport.h"
#include "core/Messages.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <exception>
#include <new>

namespace tallowin {

void DiskPerformanceTester::exportReportAutomatically(
    const Result& result, const DiskVolumeDescriptor& volume)
{
    assertOnMainQueue(*m_mainQueue);
    ++*m_pendingExports;
    m_automaticExportQueue->post(
        [weakSelf = weak_from_this(), mainQueue = m_mainQueue, fileSystem = m_configuration.fileSystem,
            pending = m_pendingExports, result, volume] {
            // Only looked at, never locked here: the tester's last owner must not be this thread.
            if (weakSelf.expired()) {
                --*pending;
                return;
            }
            std::string path;
            std::optional<std::string> reason;
            // A throwing formatter or a failed allocation is a failed export like any other: its
            // text reaches the user, and the queue's thread lives on for the next export.
            try {
                path = chooseReportPath(volume.url, result.finishedAt,
                    [&](const std::string& candidate) { return fileSystem->fileExists(candidate); });
                // The document is built as UTF-8 text already; there is no conversion that could fail.
                auto html = buildReportHTML(result, volume);
                auto written = fileSystem->writeAtomically(path, html);
                if (!written)
                    reason = written.error().description;
            } catch (const std::bad_alloc&) {
                reason = "out of memory";
            } catch (const std::exception& error) {
                reason = error.what();
            } catch (...) {
                reason = "unknown error";
            }
            mainQueue->post([weakSelf, pending, path, reason] {
                if (auto self = weakSelf.lock()) {
                    if (reason)
                        self->reportExportFailed(*reason);
                    else
                        self->reportExportSucceeded(path);
                }
                --*pending;
            });
        });
}

void DiskPerformanceTester::reportExportSucceeded(const std::string& path)
{
    assertOnMainQueue(*m_mainQueue);
    m_automaticReportMessage = Messages::automaticExportSuccess(path);
    m_lastReportPath = path;
    Uuid token = Uuid::random();
    m_automaticReportMessageToken = token;
    changed();
    // The notice goes away after a while, unless a newer one has replaced it by then.
    // The timer lives on the export queue's loop. The posted work holds that loop only weakly:
    // work that never ran must not keep the loop, and with it itself, alive.
    std::weak_ptr<SerialQueue::Loop> weakLoop = m_automaticExportQueue->loop();
    asio::post(m_automaticExportQueue->loop()->context,
        [weakLoop, weakSelf = weak_from_this(), mainQueue = std::weak_ptr<MainQueue>(m_mainQueue), token,
            lifetime = m_configuration.automaticReportMessageLifetime] {
            auto loop = weakLoop.lock();
            if (!loop)
                return;
            auto timer = std::make_shared<asio::steady_timer>(loop->context, lifetime);
            timer->async_wait([timer, weakSelf, mainQueue, token](const std::error_code& error) {
                auto queue = mainQueue.lock();
                if (error || !queue)
                    return;
                queue->post([weakSelf, token] {
                    auto self = weakSelf.lock();
                    if (!self || self->m_automaticReportMessageToken != token)
                        return;
                    self->m_automaticReportMessage.reset();
                    self->changed();
                });
            });
        });
}

void DiskPerformanceTester::reportExportFailed(const std::string& reason)
{
    assertOnMainQueue(*m_mainQueue);
    m_automaticReportMessage.reset();
    m_automaticReportMessageToken = Uuid::random();
    m_errorMessage = Messages::automaticExportFailure(reason);
    changed();
}

}
