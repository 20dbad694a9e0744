#pragma once

#include <string>

namespace tallowin {

// What a build of the application says about itself and where its maker's web service lives.
// The default is fixed when the program is built; tests pass their own, pointing at a local
// server.
struct WindowsConfiguration {
    // The service's base URL without a trailing slash; the endpoints are appended to it.
    std::string serviceBaseUrl;
    // The application's identifier in the service (25 lower-case letters and digits there).
    std::string productIdentifier;
    std::string contactLink;
    std::string descriptiveParagraph;
    std::string creditLine;
    // The short version and the build number of the running program; empty reads as "—".
    std::string shortVersion;
    std::string buildNumber;
    // How long a request may stay without any progress before it is given up. A plain count
    // of milliseconds: moc, which reads the window headers, cannot parse <chrono>.
    int requestTimeoutMilliseconds = 60'000;

    static WindowsConfiguration buildTime();

    friend bool operator==(const WindowsConfiguration&, const WindowsConfiguration&) = default;
};

}
