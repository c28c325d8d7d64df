// The host's command line: subcommands, their options and help, as a thin
// face over CLI11. Only CommandLine.cpp includes CLI11, whose header costs
// about 15 s of compiling in every file that includes it; each command's
// file describes its options through these few calls.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace tavrin::tool {

class CommandOption {
public:
    explicit CommandOption(CLI::Option* option) : m_option(option) {}
    CommandOption& Required();
    // A positional that takes exactly this many words.
    CommandOption& Expected(int count);
    CommandOption& TypeName(const std::string& name);
    // An integer option refused outside low..high, with the range in the message.
    CommandOption& Range(int low, int high);
    // Refused unless other is given too.
    CommandOption& Needs(const CommandOption& other);
    // What --help shows after the name, for a flag that takes an optional value.
    CommandOption& ValueText(const std::string& text);
    // Given on the command line (once the line is parsed).
    bool Given() const;

private:
    CLI::Option* m_option;
};

class Command {
public:
    explicit Command(CLI::App* app) : m_app(app) {}
    // A name without dashes is a positional; "--name" an option that takes
    // a value (repeatable for a vector: --allow A --allow B).
    CommandOption Add(const std::string& name, std::string& value, const std::string& help);
    CommandOption Add(const std::string& name, int& value, const std::string& help);
    CommandOption Add(const std::string& name, std::vector<std::string>& values, const std::string& help);
    CommandOption Flag(const std::string& name, bool& value, const std::string& help);
    // "--name{default}": a flag whose value is the default, or what follows '='.
    CommandOption Flag(const std::string& name, std::string& value, const std::string& help);
    void Footer(const std::string& text);
    // Runs once the whole line has parsed, if this command was chosen.
    void OnRun(std::function<void()> run);

private:
    CLI::App* m_app;
};

class CommandLine {
public:
    CommandLine(const std::string& description, const std::string& version);
    ~CommandLine();
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    Command Add(const std::string& name, const std::string& description);
    void Footer(const std::string& text);
    // Parses and runs the chosen command. The exit status: what the command
    // left in status, 0 after --help or --version, 2 for a usage error
    // (told on stderr, naming the option).
    int Run(int argc, char** argv, const int& status);

private:
    std::unique_ptr<CLI::App> m_app;
};

}  // namespace tavrin::tool
