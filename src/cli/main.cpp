#include "cli/Command.h"
#include "cli/Interrupt.h"
#include "core/Log.h"

#include <cstdio>

namespace tallowin::cli {

std::vector<CommandDefinition>& registeredCommands()
{
    static std::vector<CommandDefinition> commands;
    return commands;
}

}

int main(int argc, char** argv)
{
    using namespace tallowin;
    // Signals are blocked before any thread exists, so only the watcher ever receives them.
    cli::InterruptWatcher interrupts;
    // The terminal shows the commands' own messages; log records go to the journal, and to the
    // terminal only with --verbose or TALLOWIN_DEBUG.
    setLogSink(makeCommandLineLogSink("tallowin-cli", commandLineLogging(false)));

    CLI::App app { "Tallowin: watch, identify and benchmark the disk behind a folder.", "tallowin-cli" };
    app.set_version_flag("--version", TALLOWIN_VERSION);
    app.require_subcommand(1);
    bool verbose = false;
    app.add_flag("--verbose", verbose, "Also show the log records on standard error");
    // Subcommands pass options they do not know to this parser, so --verbose may come anywhere.
    app.fallthrough();
    cli::CommandRunner runner;
    auto& commands = cli::registeredCommands();
    std::sort(commands.begin(), commands.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    for (auto& command : commands)
        command.configure(*app.add_subcommand(command.name, command.description), runner);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // Help and version exit 0; every usage error exits 2, as command-line tools do.
        return app.exit(error) == 0 ? 0 : 2;
    }
    if (verbose)
        setLogSink(makeCommandLineLogSink("tallowin-cli", commandLineLogging(true)));
    if (!runner) {
        std::fputs("tallowin-cli: nothing to do\n", stderr);
        return 2;
    }
    return runner();
}
