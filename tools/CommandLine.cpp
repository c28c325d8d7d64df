#include "CommandLine.h"

#include <CLI/CLI.hpp>

#include <cstdio>

namespace tavrin::tool {

CommandOption& CommandOption::Required()
{
    m_option->required();
    return *this;
}

CommandOption& CommandOption::Expected(int count)
{
    m_option->expected(count);
    return *this;
}

CommandOption& CommandOption::TypeName(const std::string& name)
{
    m_option->type_name(name);
    return *this;
}

CommandOption& CommandOption::Range(int low, int high)
{
    m_option->check(CLI::Range(low, high));
    return *this;
}

CommandOption& CommandOption::Needs(const CommandOption& other)
{
    m_option->needs(other.m_option);
    return *this;
}

CommandOption& CommandOption::ValueText(const std::string& text)
{
    m_option->option_text(text);
    return *this;
}

bool CommandOption::Given() const
{
    return m_option->count() != 0;
}

CommandOption Command::Add(const std::string& name, std::string& value, const std::string& help)
{
    return CommandOption(m_app->add_option(name, value, help));
}

CommandOption Command::Add(const std::string& name, int& value, const std::string& help)
{
    return CommandOption(m_app->add_option(name, value, help));
}

CommandOption Command::Add(const std::string& name, std::vector<std::string>& values, const std::string& help)
{
    CLI::Option* option = m_app->add_option(name, values, help);
    // "--allow A DEVICE": the option takes A alone, not the positional after it.
    if (name.rfind("-", 0) == 0)
        option->allow_extra_args(false);
    return CommandOption(option);
}

CommandOption Command::Flag(const std::string& name, bool& value, const std::string& help)
{
    return CommandOption(m_app->add_flag(name, value, help));
}

CommandOption Command::Flag(const std::string& name, std::string& value, const std::string& help)
{
    return CommandOption(m_app->add_flag(name, value, help));
}

void Command::Footer(const std::string& text)
{
    m_app->footer(text);
}

void Command::OnRun(std::function<void()> run)
{
    m_app->callback(std::move(run));
}

CommandLine::CommandLine(const std::string& description, const std::string& version)
    : m_app(std::make_unique<CLI::App>(description, "tavrin"))
{
    m_app->set_version_flag("--version", version);
    m_app->require_subcommand(1);
}

CommandLine::~CommandLine() = default;

Command CommandLine::Add(const std::string& name, const std::string& description)
{
    return Command(m_app->add_subcommand(name, description));
}

void CommandLine::Footer(const std::string& text)
{
    m_app->footer(text);
}

int CommandLine::Run(int argc, char** argv, const int& status)
{
    CLI::App& app = *m_app;
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        // Usage errors end with status 2, as scripts that call the host expect.
        const char* command = argc > 1 && argv[1][0] != '-' ? argv[1] : nullptr;
        if (command != nullptr &&
            app.get_subcommands([command](const CLI::App* sub) { return sub->get_name() == command; }).empty()) {
            std::fprintf(stderr, "tavrin: unknown command '%s'; 'tavrin --help' lists them\n", command);
            return 2;
        }
        std::fprintf(stderr, "tavrin%s%s: %s\n", command ? " " : "", command ? command : "", e.what());
        std::fprintf(stderr, "run 'tavrin%s%s --help' for the options\n", command ? " " : "", command ? command : "");
        return 2;
    }
    return status;
}

}  // namespace tavrin::tool
