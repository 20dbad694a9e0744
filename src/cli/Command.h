#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>
#include <vector>

namespace tallowin::cli {

// What a subcommand does once its arguments are parsed; returns the process exit status.
using CommandRunner = std::function<int()>;

// A subcommand of tallowin-cli. Each lives in its own file and registers itself with
// TALLOWIN_CLI_COMMAND, so adding one touches nothing else.
struct CommandDefinition {
    std::string name;
    std::string description;
    // Declares the subcommand's options on `command` and stores in `runner` what to run.
    std::function<void(CLI::App& command, CommandRunner& runner)> configure;
};

std::vector<CommandDefinition>& registeredCommands();

struct CommandRegistration {
    explicit CommandRegistration(CommandDefinition definition)
    {
        registeredCommands().push_back(std::move(definition));
    }
};

}
