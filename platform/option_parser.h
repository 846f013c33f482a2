// What the programs' command lines share, over CLI11: options handled in the
// order they are met, flags that take an optional yes/no value, usage errors
// said in one sentence, and help wrapped to fit a terminal.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

// Thrown by an option's handler to refuse its value. The text is the whole
// sentence ("--jobs needs a number from 1 to 256").
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An option with one value per occurrence (--name VALUE, --name=VALUE, and
// -xVALUE for a short name). `handle` runs as the option is met, so that a
// repeated option accumulates and a later option overrides an earlier one in
// command-line order. `argument` names the value in help and errors ("DIR").
CLI::Option* add_value(CLI::App& app, const std::string& names, const std::string& argument,
                       const std::string& help, std::function<void(const std::string&)> handle);

// A flag. Alone it means yes; --name=VALUE takes yes/no, true/false, on/off
// or 1/0 (in any case), and any other value is a usage error. Short flags
// combine (-yw). `handle` runs as the flag is met.
CLI::Option* add_flag(CLI::App& app, const std::string& names, const std::string& help,
                      std::function<void(bool)> handle);
CLI::Option* add_flag(CLI::App& app, const std::string& names, const std::string& help,
                      bool& target);

// Reads a flag's value by the rule above; false when it is none of them.
bool parse_flag_value(const std::string& text, bool& value);

// Parses `args`, the words after the program's name. Words that no option or
// subcommand takes go to `extras` in order ("--" left out) when it is given;
// without it the first such word is a usage error. Returns "" or the usage
// error: an option's own UsageError, "option '--release' needs DIR", or
// unknown_word's sentence.
std::string parse(CLI::App& app, const std::vector<std::string>& args,
                  std::vector<std::string>* extras = nullptr);

// The usage error for a word that nothing took: "unknown option '--x'", for
// the rest of a group of short flags "unknown option '-e' in '-yes'", else
// "unexpected argument 'x'". `args` are the words parsed.
std::string unknown_word(const std::vector<std::string>& args, const std::string& word);

// Help as the programs print it: the description carries the usage line,
// option descriptions are wrapped to `width` columns (a line feed in one
// starts a new line), and so are long group headings.
class HelpFormatter : public CLI::Formatter {
public:
    explicit HelpFormatter(std::size_t column = 26, std::size_t width = 80);
    std::string make_usage(const CLI::App* app, std::string name) const override;
    std::string make_option_desc(const CLI::Option* option) const override;
    std::string make_description(const CLI::App* app) const override;
    std::string make_subcommand(const CLI::App* sub) const override;
    std::string make_group(std::string group, bool is_positional,
                           std::vector<const CLI::Option*> options) const override;

private:
    std::size_t width_;
};

}  // namespace platform
