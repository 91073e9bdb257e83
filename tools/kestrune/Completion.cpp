#include "tools/kestrune/Completion.hpp"

#include <CLI/CLI.hpp>
#include <sstream>

#include "Kestrune/Core/Constants.hpp"

namespace kestrune::cli {

namespace {

std::vector<const CLI::App*> commandsOf(const CLI::App& app) {
  return app.get_subcommands([](const CLI::App*) { return true; });
}

std::vector<std::string> flagNames(const CLI::Option& option) {
  std::vector<std::string> names;
  for (const auto& name : option.get_lnames()) names.push_back("--" + name);
  for (const auto& name : option.get_snames()) names.push_back("-" + name);
  return names;
}

// The value an option takes, from the type name it shows in --help: a fixed
// set ("a|b"), a folder, a file, or anything.
std::string valueCompletion(const CLI::Option& option) {
  std::string type = option.get_type_name();
  type = type.substr(0, type.find(':'));
  if (type.find('|') != std::string::npos) {
    std::string words = type;
    for (char& c : words) {
      if (c == '|') c = ' ';
    }
    return "COMPREPLY=($(compgen -W \"" + words + "\" -- \"$cur\"))";
  }
  if (type == "DIR" || type.find("_DIR") != std::string::npos) {
    return "COMPREPLY=($(compgen -d -- \"$cur\"))";
  }
  if (type == "FILE") return "COMPREPLY=($(compgen -f -- \"$cur\"))";
  if (type == "LANG") {
    std::string codes;
    for (const auto code : Constants::languageCodes) codes += std::string(code) + " ";
    return "COMPREPLY=($(compgen -W \"" + codes + "\" -- \"$cur\"))";
  }
  return "COMPREPLY=()";
}

bool takesValue(const CLI::Option& option) {
  return option.get_items_expected_max() > 0 && !option.get_positional();
}

}  // namespace

std::string manual(const CLI::App& app) {
  std::ostringstream text;
  text << "KESTRUNE(1)\n\nNAME\n    kestrune - speech recognition with Whisper models\n\n"
       << "DESCRIPTION\n    " << app.get_description() << "\n\n"
       << "    Exit status: 0 on success, 1 when the work failed (each failure is one line on "
          "standard error), 2 for a usage error.\n"
       << "    The progress bar on standard error is drawn only when standard error is a "
          "terminal; otherwise each file gets a start and an end line.\n"
       << "    KESTRUNE_MODEL names the model folder when --model is left out.\n\n"
       << "COMMANDS\n";
  for (const auto* command : commandsOf(app)) {
    text << "\n" << command->help("kestrune") << "\n";
  }
  return text.str();
}

std::string bashCompletion(const CLI::App& app) {
  std::ostringstream script;
  std::string commands;
  for (const auto* command : commandsOf(app)) commands += command->get_name() + " ";
  script << "# bash completion for kestrune; load with: source <(kestrune completion bash)\n"
         << "_kestrune() {\n"
         << "  local cur=\"${COMP_WORDS[COMP_CWORD]}\" prev=\"${COMP_WORDS[COMP_CWORD-1]}\"\n"
         << "  if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
         << "    COMPREPLY=($(compgen -W \"" << commands << "--help --version\" -- \"$cur\"))\n"
         << "    return\n"
         << "  fi\n"
         << "  local options=\"\" files=\"-f\"\n"
         << "  case \"${COMP_WORDS[1]}\" in\n";
  for (const auto* command : commandsOf(app)) {
    std::string options = "--help";
    std::ostringstream values;
    for (const auto* option : command->get_options()) {
      const auto names = flagNames(*option);
      if (names.empty() || names.front() == "--help") continue;
      std::string joined;
      for (const auto& name : names) {
        options += " " + name;
        joined += (joined.empty() ? "" : "|") + name;
      }
      if (takesValue(*option)) {
        values << "        " << joined << ") " << valueCompletion(*option) << "; return ;;\n";
      }
    }
    std::string positional = "-f";
    for (const auto* option : command->get_options()) {
      if (!option->get_positional()) continue;
      const std::string type = option->get_type_name();
      if (type.find("DIR") != std::string::npos) positional = "-d";
      if (type == "COMMAND") positional = "-W \"" + commands + "\"";
      if (type == "bash") positional = "-W bash";
    }
    script << "    " << command->get_name() << ")\n"
           << "      options=\"" << options << "\"; files='" << positional << "'\n"
           << "      case \"$prev\" in\n"
           << values.str() << "      esac ;;\n";
  }
  script << "  esac\n"
         << "  if [[ \"$cur\" == -* ]]; then\n"
         << "    COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
         << "  else\n"
         << "    eval \"COMPREPLY=(\\$(compgen $files -- \\\"\\$cur\\\"))\"\n"
         << "  fi\n"
         << "}\n"
         << "complete -o filenames -F _kestrune kestrune\n";
  return script.str();
}

}  // namespace kestrune::cli
