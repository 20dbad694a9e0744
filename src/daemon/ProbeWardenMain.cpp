// com.tallowin.ProbeWarden: the privileged SMART helper. Started by systemd socket activation
// (or standalone for development), it runs smartctl for the application and stays resident
// until SIGTERM.
#include "core/Log.h"
#include "daemon/HelperListener.h"
#include "daemon/ListeningSocket.h"
#include "daemon/SmartctlHelper.h"

#include <atomic>
#include <csignal>
#include <pthread.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

using namespace tallowin;

int main()
{
    setLogSink(makeDefaultLogSink("com.tallowin.ProbeWarden"));
    const Logger logger("com.tallowin.ProbeWarden", "HelperMain");
    logger.info("Smartctl helper main entry reached, preparing XPC listener.");

    // SIGTERM and SIGINT are taken synchronously by this thread; every thread started below
    // inherits the blocked mask, and smartctl starts with a clean one.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    auto socket = ListeningSocket::fromSystemdOrBind(logger);
    if (!socket) {
        logger.fault("Smartctl helper cannot listen: {}", socket.error());
        return 1;
    }

    FileDescriptor cancellation(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    auto configuration = SmartctlCommandRunner::configurationFromEnvironment();
    configuration.cancellationFd = cancellation.get();
    SmartctlHelper helper(configuration);
    HelperListener listener(socket->takeDescriptor(), helper, HelperListener::Limits {});

    std::atomic<bool> signalled { false };
    std::thread signalWaiter([&] {
        int received = 0;
        while (::sigwait(&stopSignals, &received) != 0) { }
        signalled = true;
        logger.info("Smartctl helper received signal {}; shutting down.", received);
        const std::uint64_t one = 1;
        (void)!::write(cancellation.get(), &one, sizeof(one));
        listener.stop();
    });

    logger.info("Smartctl helper listener resumed and awaiting incoming XPC connections.");
    logger.info("Smartctl helper entering main run loop to remain resident.");
    listener.run();
    // The loop only ends on its own when the socket fails; the waiter still needs its signal.
    if (!signalled)
        ::kill(::getpid(), SIGTERM);
    signalWaiter.join();
    helper.shutdown();
    logger.info("Smartctl helper stopped.");
    return 0;
}
