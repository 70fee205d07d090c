// Splitting a subcommand's arguments (see arguments.h).
#include "cli/arguments.h"

#include "cli/messages.h"

namespace quillane::cli {

bool ParsedArguments::Has(char letter) const {
    for (const auto& option : options) {
        if (option.first == letter) return true;
    }
    return false;
}

std::vector<std::string> ParsedArguments::Values(char letter) const {
    std::vector<std::string> values;
    for (const auto& option : options) {
        if (option.first == letter) values.push_back(option.second);
    }
    return values;
}

std::optional<ParsedArguments> ParseArguments(const Command& command, Arguments arguments, std::string_view flags,
                                              std::string_view valued, std::span<const LongOption> long_options) {
    ParsedArguments parsed;
    bool options_ended = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        if (options_ended || argument == "-" || argument.size() < 2 || argument[0] != '-') {
            parsed.operands.emplace_back(argument);
            continue;
        }
        if (argument == "--") {
            options_ended = true;
            continue;
        }
        if (argument == "--help") {
            parsed.help = true;
            continue;
        }
        if (argument[1] == '-') {
            const std::string_view written = argument.substr(2);
            const size_t equals = written.find('=');
            const std::string_view name = written.substr(0, equals);
            const LongOption* known = nullptr;
            for (const LongOption& option : long_options) {
                if (option.name == name) known = &option;
            }
            if (known == nullptr) {
                UsageError(command, "unknown option --" + std::string(name));
                return std::nullopt;
            }
            if (equals != std::string_view::npos) {
                parsed.options.emplace_back(known->letter, std::string(written.substr(equals + 1)));
            } else if (i + 1 < arguments.size()) {
                parsed.options.emplace_back(known->letter, std::string(arguments[++i]));
            } else {
                UsageError(command, "option --" + std::string(name) + " needs a value");
                return std::nullopt;
            }
            continue;
        }
        for (size_t at = 1; at < argument.size(); ++at) {
            const char letter = argument[at];
            if (letter == 'h') {
                parsed.help = true;
            } else if (flags.find(letter) != std::string_view::npos) {
                parsed.options.emplace_back(letter, std::string());
            } else if (valued.find(letter) != std::string_view::npos) {
                if (at + 1 < argument.size()) {
                    parsed.options.emplace_back(letter, std::string(argument.substr(at + 1)));
                } else if (i + 1 < arguments.size()) {
                    parsed.options.emplace_back(letter, std::string(arguments[++i]));
                } else {
                    UsageError(command, std::string("option -") + letter + " needs a value");
                    return std::nullopt;
                }
                break;
            } else {
                UsageError(command, std::string("unknown option -") + letter);
                return std::nullopt;
            }
        }
    }
    return parsed;
}

bool TakeLongOption(Arguments arguments, std::string_view option, std::vector<std::string_view>* rest) {
    bool given = false;
    bool options_ended = false;
    for (const std::string_view argument : arguments) {
        if (!options_ended && argument == option) {
            given = true;
            continue;
        }
        if (argument == "--") options_ended = true;
        rest->push_back(argument);
    }
    return given;
}

}  // namespace quillane::cli
