#include "smart/NotificationCenter.h"

#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace tallowin {

struct NotificationCenter::Registration::State {
    struct Entry {
        std::string name;
        std::shared_ptr<Observer> observer;
    };
    // Serialises a post's calls with removal, so a removed observer is never called afterwards.
    std::recursive_mutex callMutex;
    std::mutex mutex;
    std::map<std::uint64_t, Entry> entries;
    std::uint64_t nextToken { 1 };
};

NotificationCenter::Registration::Registration(std::weak_ptr<State> state, std::uint64_t token)
    : m_state(std::move(state))
    , m_token(token)
{ }

NotificationCenter::Registration::Registration(Registration&& other) noexcept
    : m_state(std::move(other.m_state))
    , m_token(std::exchange(other.m_token, 0))
{ }

NotificationCenter::Registration& NotificationCenter::Registration::operator=(Registration&& other) noexcept
{
    if (this != &other) {
        reset();
        m_state = std::move(other.m_state);
        m_token = std::exchange(other.m_token, 0);
    }
    return *this;
}

void NotificationCenter::Registration::reset()
{
    if (auto state = m_state.lock()) {
        std::lock_guard calls(state->callMutex);
        std::lock_guard lock(state->mutex);
        state->entries.erase(m_token);
    }
    m_state.reset();
    m_token = 0;
}

NotificationCenter::NotificationCenter()
    : m_state(std::make_shared<Registration::State>())
{ }

NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter()
{
    static NotificationCenter center;
    return center;
}

NotificationCenter::Registration NotificationCenter::addObserver(std::string name, Observer observer)
{
    std::lock_guard lock(m_state->mutex);
    auto token = m_state->nextToken++;
    m_state->entries.emplace(token,
        Registration::State::Entry { std::move(name), std::make_shared<Observer>(std::move(observer)) });
    return Registration(m_state, token);
}

void NotificationCenter::post(std::string_view name)
{
    // Observers run one post at a time, outside the registry lock, so they may add or remove
    // observers themselves.
    std::lock_guard calls(m_state->callMutex);
    std::vector<std::pair<std::uint64_t, std::shared_ptr<Observer>>> matching;
    {
        std::lock_guard lock(m_state->mutex);
        for (const auto& [token, entry] : m_state->entries) {
            if (entry.name == name)
                matching.emplace_back(token, entry.observer);
        }
    }
    for (const auto& [token, observer] : matching) {
        bool stillRegistered = false;
        {
            std::lock_guard lock(m_state->mutex);
            stillRegistered = m_state->entries.contains(token);
        }
        if (stillRegistered)
            (*observer)();
    }
}

}
