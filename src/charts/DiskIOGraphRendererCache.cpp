#include "charts/DiskIOGraphRendererCache.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>

namespace tallowin {

namespace {

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b)
{
    std::uint64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        return std::numeric_limits<std::uint64_t>::max();
    return sum;
}

double rateFactorFor(int sampleIntervalMs)
{
    return sampleIntervalMs >= 1 ? 1000.0 / sampleIntervalMs : 0.0;
}

std::vector<IndexedSample> samplesOf(const std::vector<DiskIOGraphRendererCache::DownsampledBin>& bins)
{
    std::vector<IndexedSample> samples;
    samples.reserve(bins.size());
    for (const auto& bin : bins)
        samples.push_back(bin.sample);
    return samples;
}

}

DiskIOGraphRendererCache::DataSignature DiskIOGraphRendererCache::DataSignature::of(
    const std::vector<DiskSample>& samples)
{
    if (samples.empty())
        return {};
    return { static_cast<std::int64_t>(samples.size()), samples.front().id, samples.back().id };
}

void DiskIOGraphRendererCache::TokenBox::set(std::optional<Uuid> value)
{
    std::lock_guard lock(mutex);
    token = value;
}

bool DiskIOGraphRendererCache::TokenBox::holds(const Uuid& candidate)
{
    std::lock_guard lock(mutex);
    return token == candidate;
}

std::shared_ptr<DiskIOGraphRendererCache> DiskIOGraphRendererCache::create(std::shared_ptr<MainQueue> mainQueue)
{
    return std::make_shared<DiskIOGraphRendererCache>(Passkey(), std::move(mainQueue));
}

DiskIOGraphRendererCache::DiskIOGraphRendererCache(Passkey, std::shared_ptr<MainQueue> mainQueue)
    : m_mainQueue(std::move(mainQueue))
    , m_downsamplingQueue(std::make_unique<SerialQueue>(downsamplingQueueLabel, QualityOfService::UserInitiated))
    , m_pendingWorkToken(std::make_shared<TokenBox>())
{ }

DiskIOGraphRendererCache::~DiskIOGraphRendererCache()
{
    // A job that has not started stays a no-op; one that is running finishes against its own
    // captures before the queue's thread is joined, and its apply step finds the cache gone.
    cancelPendingWork();
}

IndexRange DiskIOGraphRendererCache::sanitizedRange(
    std::int64_t sampleCount, std::int64_t requestedLower, std::int64_t requestedUpper)
{
    if (sampleCount <= 0)
        return {};
    std::int64_t lower = std::clamp<std::int64_t>(requestedLower, 0, sampleCount);
    std::int64_t upper = std::max(std::min(requestedUpper, sampleCount), lower);
    return { lower, upper };
}

std::int64_t DiskIOGraphRendererCache::effectiveTargetCount(std::int64_t length, std::int64_t targetCount)
{
    return std::max<std::int64_t>(std::min(length, targetCount), 1);
}

std::int64_t DiskIOGraphRendererCache::chunkSize(std::int64_t length, std::int64_t effectiveTarget)
{
    double chunk = std::ceil(static_cast<double>(length) / static_cast<double>(effectiveTarget));
    return std::max<std::int64_t>(static_cast<std::int64_t>(chunk), 1);
}

DiskIOGraphRendererCache::DownsamplingPlan DiskIOGraphRendererCache::makePlan(
    IndexRange range, std::int64_t effectiveTarget, std::int64_t chunk) const
{
    DownsamplingPlan plan { DownsamplingPlan::Recompute { {}, range.lower }, range, effectiveTarget, chunk };
    bool sameShape = m_cachedTargetCount == effectiveTarget && m_cachedChunkSize == chunk;
    if (!m_cachedBins.empty() && m_cachedRange == range && sameShape) {
        plan.work = DownsamplingPlan::None {};
    } else if (sameShape && !m_cachedBins.empty() && m_cachedRange.lower == range.lower
        && m_cachedRange.upper < range.upper) {
        // Only grown to the right. The last bin may have been cut short by the old upper bound,
        // so it is always rebuilt.
        DownsamplingPlan::Recompute recompute;
        recompute.preservedBins.assign(m_cachedBins.begin(), m_cachedBins.end() - 1);
        recompute.recomputeStart = m_cachedBins.back().range.lower;
        plan.work = std::move(recompute);
    }
    return plan;
}

std::vector<DiskIOGraphRendererCache::DownsampledBin> DiskIOGraphRendererCache::downsample(
    const std::vector<DiskSample>& samples, std::int64_t start, std::int64_t upper, std::int64_t chunk,
    double rateFactor)
{
    std::vector<DownsampledBin> bins;
    if (chunk < 1 || start >= upper)
        return bins;
    bins.reserve(static_cast<std::size_t>((upper - start + chunk - 1) / chunk));
    const auto available = static_cast<std::int64_t>(samples.size());
    std::int64_t s = start;
    do {
        std::int64_t e = std::min(s + chunk, upper);
        double maximumRead = 0.0;
        double maximumWrite = 0.0;
        std::uint64_t readSum = 0;
        std::uint64_t writeSum = 0;
        std::int64_t seenEnd = std::min(e, available);
        for (std::int64_t i = s; i < seenEnd; ++i) {
            const auto& sample = samples[static_cast<std::size_t>(i)];
            maximumRead = std::max(maximumRead, static_cast<double>(sample.readBytes) * rateFactor);
            maximumWrite = std::max(maximumWrite, static_cast<double>(sample.writeBytes) * rateFactor);
            readSum = saturatingAdd(readSum, sample.readBytes);
            writeSum = saturatingAdd(writeSum, sample.writeBytes);
        }
        std::int64_t count = e - s;
        bins.push_back({ { s, e }, { s + count / 2, maximumRead, maximumWrite, readSum, writeSum, count } });
        s = e;
    } while (s < upper);
    return bins;
}

void DiskIOGraphRendererCache::update(std::vector<DiskSample> samples, std::int64_t requestedLower,
    std::int64_t requestedUpper, std::int64_t targetCount, int sampleIntervalMs)
{
    update(std::make_shared<const std::vector<DiskSample>>(std::move(samples)), requestedLower, requestedUpper,
        targetCount, sampleIntervalMs);
}

void DiskIOGraphRendererCache::update(std::shared_ptr<const std::vector<DiskSample>> samples,
    std::int64_t requestedLower, std::int64_t requestedUpper, std::int64_t targetCount, int sampleIntervalMs)
{
    assert(m_mainQueue->isMainThread());
    if (!samples)
        samples = std::make_shared<const std::vector<DiskSample>>();
    const IndexRange range
        = sanitizedRange(static_cast<std::int64_t>(samples->size()), requestedLower, requestedUpper);
    const DataSignature signature = DataSignature::of(*samples);
    const bool signatureUnchanged = signature == m_cachedDataSignature;
    const std::int64_t length = range.length();

    if (length < 1) {
        cancelPendingWork();
        if (m_cachedSampleIntervalMs == sampleIntervalMs && m_cachedBins.empty() && m_cachedRange == range
            && m_cachedTargetCount == 0 && m_cachedChunkSize == 0 && m_plottedSamples.empty()
            && signatureUnchanged) {
            m_cachedSampleIntervalMs = sampleIntervalMs;
            m_cachedDataSignature = signature;
            return;
        }
        postToMain([range, sampleIntervalMs, signature](DiskIOGraphRendererCache& cache) {
            cache.applyEmpty(range, sampleIntervalMs, signature);
        });
        return;
    }

    if (m_cachedSampleIntervalMs != sampleIntervalMs) {
        // Rates of another interval are not comparable; the interval itself is recorded when a
        // result is applied.
        m_cachedBins.clear();
        m_cachedRange = {};
        m_cachedTargetCount = 0;
        m_cachedChunkSize = 0;
    }

    const std::int64_t target = effectiveTargetCount(length, targetCount);
    const std::int64_t chunk = chunkSize(length, target);
    DownsamplingPlan plan = makePlan(range, target, chunk);

    std::vector<DownsampledBin> preservedBins;
    std::int64_t chosenStart = range.lower;
    if (signatureUnchanged) {
        if (std::holds_alternative<DownsamplingPlan::None>(plan.work)) {
            m_cachedSampleIntervalMs = sampleIntervalMs;
            m_cachedDataSignature = signature;
            return;
        }
        auto& recompute = std::get<DownsamplingPlan::Recompute>(plan.work);
        preservedBins = std::move(recompute.preservedBins);
        chosenStart = recompute.recomputeStart;
    }
    // Otherwise the list is a different one: once the history is full, the same index no longer
    // names the same sample, so nothing cached is reused.

    cancelPendingWork();
    const std::int64_t start = std::max(range.lower, chosenStart);
    const double rateFactor = rateFactorFor(sampleIntervalMs);
    Result result { std::move(preservedBins), range, target, chunk, sampleIntervalMs, signature };

    if (start >= range.upper) {
        postToMain([result = std::move(result)](DiskIOGraphRendererCache& cache) mutable {
            cache.applyPreserved(std::move(result));
        });
        return;
    }

    const Uuid token = Uuid::random();
    auto item = std::make_shared<WorkItem>();
    std::weak_ptr<TokenBox> weakToken = m_pendingWorkToken;
    std::weak_ptr<DiskIOGraphRendererCache> weakCache = weak_from_this();
    std::weak_ptr<MainQueue> weakMainQueue = m_mainQueue;
    m_pendingWorkToken->set(token);
    m_pendingWorkItem = item;
    m_downsamplingQueue->post([item, weakToken, weakCache, weakMainQueue, token, samples = std::move(samples),
                                  start, chunk, rateFactor, result = std::move(result)]() mutable {
        if (item->cancelled.load(std::memory_order_acquire))
            return;
        // The token box lives exactly as long as the cache, so a missing box means no cache.
        auto tokenBox = weakToken.lock();
        if (!tokenBox || !tokenBox->holds(token))
            return;
        tokenBox.reset();
        auto newBins = downsample(*samples, start, result.range.upper, chunk, rateFactor);
        samples.reset();
        result.bins.insert(result.bins.end(), std::make_move_iterator(newBins.begin()),
            std::make_move_iterator(newBins.end()));
        auto mainQueue = weakMainQueue.lock();
        if (!mainQueue)
            return;
        mainQueue->post([weakCache, token, result = std::move(result)]() mutable {
            if (auto cache = weakCache.lock())
                cache->applyComputed(token, std::move(result));
        });
    });
}

void DiskIOGraphRendererCache::cancelPendingWork()
{
    if (m_pendingWorkItem) {
        m_pendingWorkItem->cancelled.store(true, std::memory_order_release);
        m_pendingWorkItem.reset();
    }
    m_pendingWorkToken->set(std::nullopt);
}

void DiskIOGraphRendererCache::applyComputed(const Uuid& token, Result result)
{
    if (!m_pendingWorkToken->holds(token))
        return;
    m_pendingWorkItem.reset();
    m_pendingWorkToken->set(std::nullopt);
    auto plotted = samplesOf(result.bins);
    store(std::move(result));
    publish(std::move(plotted));
}

void DiskIOGraphRendererCache::applyPreserved(Result result)
{
    auto plotted = samplesOf(result.bins);
    store(std::move(result));
    publish(std::move(plotted));
}

void DiskIOGraphRendererCache::applyEmpty(IndexRange range, int sampleIntervalMs, DataSignature signature)
{
    store({ {}, range, 0, 0, sampleIntervalMs, std::move(signature) });
    // An empty list assigned again would only cause a redraw of nothing.
    if (!m_plottedSamples.empty())
        publish({});
}

void DiskIOGraphRendererCache::store(Result&& result)
{
    m_cachedBins = std::move(result.bins);
    m_cachedRange = result.range;
    m_cachedTargetCount = result.targetCount;
    m_cachedChunkSize = result.chunkSize;
    m_cachedSampleIntervalMs = result.sampleIntervalMs;
    m_cachedDataSignature = std::move(result.signature);
}

void DiskIOGraphRendererCache::publish(std::vector<IndexedSample> plotted)
{
    m_plottedSamples = std::move(plotted);
    // Copied so that an observer may add or remove observers while it runs.
    auto observers = m_observers;
    for (const auto& observer : observers)
        observer->callback(m_plottedSamples);
}

DiskIOGraphRendererCache::ObserverID DiskIOGraphRendererCache::addObserver(
    std::function<void(const std::vector<IndexedSample>&)> callback)
{
    auto id = m_nextObserverID++;
    m_observers.push_back(std::make_shared<Observer>(Observer { id, std::move(callback) }));
    return id;
}

void DiskIOGraphRendererCache::removeObserver(ObserverID id)
{
    std::erase_if(m_observers, [id](const auto& observer) { return observer->id == id; });
}

void DiskIOGraphRendererCache::postToMain(std::function<void(DiskIOGraphRendererCache&)> step)
{
    m_mainQueue->post([weakCache = weak_from_this(), step = std::move(step)] {
        if (auto cache = weakCache.lock())
            step(*cache);
    });
}

}
