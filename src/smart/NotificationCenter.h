#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tallowin {

// A small in-process notification centre: observers register for a name and are called, on the
// posting thread, for every post of that name. Posts carry no object and no user information.
// Observers that must act on the main thread hop there themselves.
class NotificationCenter {
public:
    using Observer = std::function<void()>;

    // Keeps an observer registered while it lives. After it is destroyed (or reset) the observer
    // is never called again, even by a post that is running on another thread.
    class Registration {
    public:
        Registration() = default;
        ~Registration() { reset(); }
        Registration(Registration&&) noexcept;
        Registration& operator=(Registration&&) noexcept;
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;
        void reset();

    private:
        friend class NotificationCenter;
        struct State;
        Registration(std::weak_ptr<State>, std::uint64_t);
        std::weak_ptr<State> m_state;
        std::uint64_t m_token { 0 };
    };

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // The process-wide centre.
    static NotificationCenter& defaultCenter();

    [[nodiscard]] Registration addObserver(std::string name, Observer);
    void post(std::string_view name);

private:
    std::shared_ptr<Registration::State> m_state;
};

}
