#pragma once

#include "core/Expected.h"
#include "core/Language.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace prometheus {
class Collectable;
class Exposer;
}

namespace tallowin {

// The exporter's default port: outside 9100–9999, the range of Prometheus's list of default
// exporter ports (taken in full), and below Linux's ephemeral range, so that an outgoing
// connection never holds it when the service starts.
inline constexpr std::uint16_t defaultExporterPort = 18917;
inline constexpr std::string_view defaultExporterHost = "127.0.0.1";

// ADDR:PORT, with an IPv6 address in brackets ([::1]:18917).
struct ListenAddress {
    std::string host;
    std::uint16_t port { 0 };

    // The form the HTTP server takes, and messages show.
    std::string text() const;

    friend bool operator==(const ListenAddress&, const ListenAddress&) = default;
};

// Nothing but a numeric IPv4 or bracketed IPv6 address, a colon and a port 0–65535 (0 lets the
// kernel choose); the error is a message for the user.
Expected<ListenAddress, std::string> parseListenAddress(std::string_view);

// Why the server could not listen: the address and the kernel's reason for refusing it (0 when
// the kernel accepts the address and only the HTTP server refused).
struct ListenFailure {
    ListenAddress address;
    int error { 0 };

    // The message for the user, in the language given: the exporter fixes its own environment to
    // English for label values before it starts the server, so the caller decides.
    std::string description(Language) const;

    friend bool operator==(const ListenFailure&, const ListenFailure&) = default;
};

// prometheus-cpp's pull server with one collectable on /metrics. Stops serving when destroyed.
class MetricsServer {
public:
    // Fails when the port is taken, the address is not this machine's …
    static Expected<std::unique_ptr<MetricsServer>, ListenFailure> start(
        const ListenAddress&, std::shared_ptr<prometheus::Collectable>);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // The port it listens on (the chosen one when asked for port 0).
    std::uint16_t port() const { return m_port; }

private:
    MetricsServer(
        std::unique_ptr<prometheus::Exposer>, std::shared_ptr<prometheus::Collectable>, std::uint16_t);

    std::unique_ptr<prometheus::Exposer> m_exposer;
    // The exposer only holds a weak reference.
    std::shared_ptr<prometheus::Collectable> m_collectable;
    std::uint16_t m_port;
};

}
