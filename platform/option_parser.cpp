#include "option_parser.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <utility>

namespace platform {

namespace {

std::string lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

CLI::Option* find_option(CLI::App& app, const std::string& name) {
    if (CLI::Option* option = app.get_option_no_throw(name)) return option;
    for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; }))
        if (CLI::Option* option = find_option(*sub, name)) return option;
    return nullptr;
}

// Words nothing takes are judged after the parse, by the caller or by
// unknown_word, rather than by CLI11's own "not expected" message.
void allow_extras(CLI::App& app) {
    app.allow_extras();
    for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; }))
        allow_extras(*sub);
}

// CLI11 says "--release: 1 required DIR missing"; ours names the option as
// every other message does.
std::string missing_value(CLI::App& app, const CLI::ArgumentMismatch& error) {
    std::string text = error.what();
    const std::size_t colon = text.find(':');
    CLI::Option* option =
        colon == std::string::npos ? nullptr : find_option(app, text.substr(0, colon));
    if (option == nullptr || option->get_type_name().empty()) return text;
    return "option '" + option->get_name() + "' needs " + option->get_type_name();
}

// Greedy word wrap of one paragraph into lines of at most `width` columns
// (a longer word stands alone).
void wrap_paragraph(const std::string& text, std::size_t width, std::string& out) {
    std::size_t column = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        const std::size_t length = end - start;
        if (length > 0) {
            if (column > 0 && column + 1 + length > width) {
                out += '\n';
                column = 0;
            }
            if (column > 0) {
                out += ' ';
                ++column;
            }
            out.append(text, start, length);
            column += length;
        }
        start = end + 1;
    }
}

}  // namespace

bool parse_flag_value(const std::string& text, bool& value) {
    const std::string word = lower(text);
    if (word == "yes" || word == "true" || word == "on" || word == "1") {
        value = true;
        return true;
    }
    if (word == "no" || word == "false" || word == "off" || word == "0") {
        value = false;
        return true;
    }
    return false;
}

CLI::Option* add_value(CLI::App& app, const std::string& names, const std::string& argument,
                       const std::string& help, std::function<void(const std::string&)> handle) {
    return app.add_option(names)
        ->description(help)
        ->type_name(argument)
        ->each([handle = std::move(handle)](const std::string& value) { handle(value); })
        ->trigger_on_parse();
}

CLI::Option* add_flag(CLI::App& app, const std::string& names, const std::string& help,
                      std::function<void(bool)> handle) {
    CLI::Option* option = app.add_flag(names)->description(help);
    // A flag met without a value arrives as "true".
    return option
        ->each([handle = std::move(handle), name = option->get_name()](const std::string& text) {
            bool value = false;
            if (!parse_flag_value(text, value))
                throw UsageError("option '" + name +
                                 "' takes yes/no, true/false, on/off or 1/0, not '" + text + "'");
            handle(value);
        })
        ->trigger_on_parse();
}

CLI::Option* add_flag(CLI::App& app, const std::string& names, const std::string& help,
                      bool& target) {
    return add_flag(app, names, help, [&target](bool value) { target = value; });
}

std::string parse(CLI::App& app, const std::vector<std::string>& args,
                  std::vector<std::string>* extras) {
    allow_extras(app);
    try {
        // CLI11 takes the words last first.
        app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
    } catch (const UsageError& error) {
        return error.what();
    } catch (const CLI::ArgumentMismatch& error) {
        return missing_value(app, error);
    } catch (const CLI::ParseError& error) {
        return error.what();
    }
    std::vector<std::string> left = app.remaining(true);
    left.erase(std::remove(left.begin(), left.end(), "--"), left.end());
    if (extras != nullptr) {
        *extras = std::move(left);
        return {};
    }
    return left.empty() ? std::string() : unknown_word(args, left.front());
}

std::string unknown_word(const std::vector<std::string>& args, const std::string& word) {
    if (word.size() < 2 || word[0] != '-') return "unexpected argument '" + word + "'";
    const bool typed = std::find(args.begin(), args.end(), word) != args.end();
    if (!typed && word[1] != '-') {
        // CLI11 hands back what follows the short flags it knew: "-es" of "-yes".
        const std::string tail = word.substr(1);
        for (const std::string& arg : args) {
            if (arg.size() > tail.size() + 1 && arg[0] == '-' && arg[1] != '-' &&
                arg.compare(arg.size() - tail.size(), tail.size(), tail) == 0)
                return "unknown option '-" + tail.substr(0, 1) + "' in '" + arg + "'";
        }
    }
    return "unknown option '" + word.substr(0, word.find('=')) + "'";
}

HelpFormatter::HelpFormatter(std::size_t column, std::size_t width) : width_(width) {
    column_width(column);
}

std::string HelpFormatter::make_usage(const CLI::App*, std::string) const {
    return {};
}

std::string HelpFormatter::make_option_desc(const CLI::Option* option) const {
    const std::string& text = option->get_description();
    const std::size_t width = width_ > column_width_ + 20 ? width_ - column_width_ : 20;
    std::string out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (start > 0) out += '\n';
        wrap_paragraph(text.substr(start, end - start), width, out);
        start = end + 1;
    }
    return out;
}

std::string HelpFormatter::make_subcommand(const CLI::App* sub) const {
    std::string text;
    wrap_paragraph(sub->get_description(),
                   width_ > column_width_ + 20 ? width_ - column_width_ : 20, text);
    std::stringstream out;
    CLI::detail::format_help(out, sub->get_name(), text, column_width_);
    return out.str();
}

std::string HelpFormatter::make_description(const CLI::App* app) const {
    const std::string& text = app->get_description();
    return text.empty() ? text : text + "\n\n";
}

// CLI11 puts a blank line between two groups of options but none after the
// positionals, which come first.
std::string HelpFormatter::make_group(std::string group, bool is_positional,
                                      std::vector<const CLI::Option*> options) const {
    std::string out;
    wrap_paragraph(group + ":", width_, out);
    out += '\n';
    for (const CLI::Option* option : options)
        out += make_option(option, is_positional);
    if (is_positional) out += '\n';
    return out;
}

}  // namespace platform
