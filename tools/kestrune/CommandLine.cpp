#include "tools/kestrune/CommandLine.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "Kestrune/Core/Constants.hpp"
#include "tools/kestrune/CommandFailure.hpp"
#include "tools/kestrune/Completion.hpp"
#include "tools/kestrune/FileCommands.hpp"
#include "tools/kestrune/LiveCommands.hpp"
#include "tools/kestrune/ModelCommands.hpp"

namespace kestrune::cli {

namespace {

constexpr const char* programDescription =
    "kestrune transcribes speech in audio files with Whisper models, writes text and subtitle "
    "files, detects the spoken language and converts Whisper checkpoints into model folders.";

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::vector<std::string> commaSeparated(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream stream(text);
  std::string part;
  while (std::getline(stream, part, ',')) parts.push_back(part);
  return parts;
}

// Accepts a language code ("de") or an English language name ("German")
// and leaves the code.
CLI::Validator languageValidator() {
  return CLI::Validator(
      [](std::string& value) -> std::string {
        const std::string lower = lowercase(value);
        if (Constants::isLanguageCode(lower)) {
          value = lower;
          return "";
        }
        if (const auto code = Constants::languageCode(lower)) {
          value = std::string(*code);
          return "";
        }
        return "unknown language \"" + value +
               "\"; use a code such as en, de or ja, or a name such as german";
      },
      "");
}

CLI::Validator choiceValidator(std::vector<std::string> choices, bool list) {
  return CLI::Validator(
      [choices, list](std::string& value) -> std::string {
        const auto parts = list ? commaSeparated(value) : std::vector<std::string>{value};
        for (const auto& part : parts) {
          if (std::find(choices.begin(), choices.end(), part) == choices.end()) {
            std::string known;
            for (const auto& choice : choices) known += (known.empty() ? "" : ", ") + choice;
            return "\"" + part + "\" is not one of " + known;
          }
        }
        if (parts.empty()) return "needs a value";
        return "";
      },
      "");
}

// A number of at least `low` (above it when `strict`), with a message that
// names the bound rather than the type's whole range.
CLI::Validator numberFrom(double low, bool strict) {
  return CLI::Validator(
      [low, strict](std::string& value) -> std::string {
        char* end = nullptr;
        const double number = std::strtod(value.c_str(), &end);
        if (value.empty() || end == value.c_str() || *end != '\0' || !std::isfinite(number)) {
          return "\"" + value + "\" is not a number";
        }
        if (strict ? number > low : number >= low) return "";
        std::ostringstream bound;
        bound << low;
        return "must be " + std::string(strict ? "above " : "at least ") + bound.str() + ", not " +
               value;
      },
      "");
}

struct Commands {
  CLI::App app{programDescription, "kestrune"};
  CLI::App* transcribe = nullptr;
  CLI::App* detect = nullptr;
  CLI::App* convert = nullptr;
  CLI::App* download = nullptr;
  CLI::App* models = nullptr;
  CLI::App* devices = nullptr;
  CLI::App* live = nullptr;
  CLI::App* help = nullptr;
  CLI::App* completion = nullptr;

  TranscribeSettings transcribeSettings;
  std::string model, language, outputDir, formats;
  DetectLanguageSettings detectSettings;
  ConvertSettings convertSettings;
  DownloadSettings downloadSettings;
  ModelsSettings modelsSettings;
  LiveSettings liveSettings;
  std::string modelName, downloadBase, token, liveLanguage;
  uint32_t device = 0;
  double liveSeconds = 0;
  std::string helpTopic;
  std::string shell;

  Commands() {
    app.require_subcommand(1);
    app.set_version_flag("--version", "kestrune 0.1.0");
    app.footer(
        "Run `kestrune help` for the full manual, `kestrune COMMAND --help` for one command.");
    addTranscribe();
    addDetectLanguage();
    addConvert();
    addModelCommands();
    addLiveCommands();
    help = app.add_subcommand("help", "Print the full manual, or the help of one command.");
    help->add_option("command", helpTopic, "the command to explain")->type_name("COMMAND");
    completion = app.add_subcommand(
        "completion", "Print a shell completion script: source <(kestrune completion bash).");
    completion->add_option("shell", shell, "the shell; only bash is supported")
        ->required()
        ->type_name("bash")
        ->check(choiceValidator({"bash"}, false));
  }

  CLI::Option* addModelOption(CLI::App* command, std::string& target) {
    return command
        ->add_option("-m,--model", target,
                     "model folder (MelSpectrogram, AudioEncoder, TextDecoder and the tokenizer "
                     "files), as written by `kestrune convert`")
        ->envname("KESTRUNE_MODEL")
        ->type_name("DIR");
  }

  void addTranscribe() {
    auto& s = transcribeSettings;
    transcribe = app.add_subcommand(
        "transcribe",
        "Transcribe audio files (any format FFmpeg reads) and print their text; with --format "
        "or --output-dir also write text, SubRip, WebVTT or JSON files named after each input.");
    transcribe->add_option("files", s.files, "audio files to transcribe")
        ->required()
        ->type_name("FILE");
    addModelOption(transcribe, model);
    transcribe
        ->add_option("-l,--language", language,
                     "spoken language, a code (en) or a name (english); detected when left out")
        ->type_name("LANG")
        ->transform(languageValidator());
    transcribe
        ->add_option("--task", s.task, "transcribe in the spoken language, or translate to English")
        ->type_name("transcribe|translate")
        ->check(choiceValidator({"transcribe", "translate"}, false))
        ->capture_default_str();
    transcribe->add_flag("-w,--word-timestamps", s.wordTimestamps,
                         "time every word; subtitles then get one cue per word");
    transcribe->add_option("--temperature", s.temperature, "sampling temperature of the first pass")
        ->check(numberFrom(0, false))
        ->capture_default_str();
    transcribe
        ->add_option("--temperature-increment", s.temperatureIncrement,
                     "added to the temperature for each fallback pass")
        ->check(numberFrom(0, false))
        ->capture_default_str();
    transcribe
        ->add_option("--fallback-count", s.fallbackCount,
                     "fallback passes at higher temperature for a window that fails the checks "
                     "below; 0 turns fallback off")
        ->check(numberFrom(0, false))
        ->capture_default_str();
    transcribe
        ->add_option("--compression-ratio-threshold", s.compressionRatioThreshold,
                     "fall back when the text compresses better than this (repetitions)")
        ->capture_default_str();
    transcribe
        ->add_option("--logprob-threshold", s.logProbThreshold,
                     "fall back when the average token log-probability is below this")
        ->capture_default_str();
    transcribe
        ->add_option("--no-speech-threshold", s.noSpeechThreshold,
                     "treat a window as silence when its no-speech probability is above this")
        ->capture_default_str();
    transcribe->add_flag("--vad", s.vad,
                         "cut long audio at silences and transcribe the pieces in parallel");
    transcribe
        ->add_option("--workers", s.workers, "how many pieces are transcribed at once with --vad")
        ->check(numberFrom(0, true))
        ->capture_default_str();
    auto* incremental = transcribe->add_flag(
        "--incremental", s.incremental,
        "stream the file in pieces instead of reading it whole (for long recordings)");
    transcribe
        ->add_option("--chunk-seconds", s.chunkSeconds,
                     "length of the streamed pieces with --incremental")
        ->check(numberFrom(0, true))
        ->needs(incremental)
        ->capture_default_str();
    transcribe
        ->add_option("-f,--format", formats,
                     "files to write, comma-separated: txt, srt, vtt, json, or all; all when "
                     "only --output-dir is given")
        ->type_name("txt|srt|vtt|json|all")
        ->check(choiceValidator({"txt", "srt", "vtt", "json", "all"}, true));
    transcribe
        ->add_option("-o,--output-dir", outputDir,
                     "folder for the written files (created when missing); the current folder "
                     "when left out")
        ->type_name("DIR");
    transcribe->add_flag("-v,--verbose", s.verbose,
                         "print the timings report of each file on standard error");
  }

  void addDetectLanguage() {
    detect = app.add_subcommand(
        "detect-language",
        "Detect the spoken language from the first 30 seconds of an audio file and print the "
        "most likely languages with their probabilities.");
    detect->add_option("file", detectSettings.file, "audio file")->required()->type_name("FILE");
    addModelOption(detect, model);
    detect->add_option("--top", detectSettings.top, "how many languages to list")
        ->check(numberFrom(0, true))
        ->capture_default_str();
  }

  void addConvert() {
    convert = app.add_subcommand(
        "convert",
        "Convert a Whisper checkpoint folder (config.json, model.safetensors, tokenizer files) "
        "into a model folder for --model.");
    convert->add_option("checkpoint", convertSettings.checkpoint, "checkpoint folder")
        ->required()
        ->type_name("CHECKPOINT_DIR");
    convert->add_option("output", convertSettings.output, "model folder to write")
        ->required()
        ->type_name("OUT_DIR");
    convert->add_flag("--fp32", convertSettings.fp32, "keep 32-bit weights instead of 16-bit");
    convert
        ->add_option("--cache-length", convertSettings.cacheLength,
                     "decoder key/value cache positions")
        ->check(numberFrom(0, true))
        ->capture_default_str();
  }

  void addHubOptions(CLI::App* command, std::string& repo, std::string& endpoint) {
    command->add_option("--repo", repo, "model repository on the hub")
        ->type_name("ID")
        ->capture_default_str();
    command
        ->add_option("--download-base", downloadBase,
                     "folder that keeps downloads (default ~/Documents/huggingface)")
        ->type_name("DIR");
    command->add_option("--token", token, "hub access token (default: HF_TOKEN or the token file)")
        ->envname("HF_TOKEN")
        ->type_name("TOKEN");
    command
        ->add_option("--endpoint", endpoint,
                     "hub address (default: HF_ENDPOINT, else the public hub)")
        ->type_name("URL");
  }

  void addModelCommands() {
    download = app.add_subcommand(
        "download",
        "Download a model folder from the model hub and print where it was stored; use that "
        "folder with --model.");
    download
        ->add_option("-m,--model", modelName,
                     "model name, such as tiny or openai_whisper-base; the recommended model of "
                     "this machine when left out")
        ->type_name("NAME");
    addHubOptions(download, downloadSettings.repo, downloadSettings.endpoint);
    models = app.add_subcommand(
        "models", "List the recommended model for this machine and the models it supports.");
    addHubOptions(models, modelsSettings.repo, modelsSettings.endpoint);
    models->add_flag("--offline", modelsSettings.offline,
                     "use the built-in catalogue; fetch nothing");
  }

  void addLiveCommands() {
    devices = app.add_subcommand("devices", "List the audio input devices with their ids.");
    live = app.add_subcommand(
        "live",
        "Transcribe the microphone until Ctrl-C: confirmed text is printed line by line, the "
        "unconfirmed tail on one line that is redrawn.");
    addModelOption(live, model);
    live->add_option("-d,--device", device, "input device id from `kestrune devices`")
        ->type_name("ID");
    live->add_option("-l,--language", liveLanguage, "spoken language; detected when left out")
        ->type_name("LANG")
        ->transform(languageValidator());
    live->add_option("--task", liveSettings.task, "transcribe, or translate to English")
        ->type_name("transcribe|translate")
        ->check(choiceValidator({"transcribe", "translate"}, false))
        ->capture_default_str();
    live->add_option("--seconds", liveSeconds, "stop by itself after this many seconds")
        ->check(numberFrom(0, true));
  }

  std::optional<std::string> given(CLI::App* command, const std::string& name,
                                   const std::string& value) const {
    if (command->get_option(name)->count() == 0 && value.empty()) return std::nullopt;
    return value;
  }

  int dispatch(std::ostream& out, std::ostream& err, Terminals terminals) {
    const bool errIsTerminal = terminals.err;
    if (*transcribe) {
      auto settings = transcribeSettings;
      settings.model = given(transcribe, "--model", model);
      settings.language = given(transcribe, "--language", language);
      settings.outputDir = given(transcribe, "--output-dir", outputDir);
      if (!formats.empty()) settings.formats = commaSeparated(formats);
      settings.progressBar = errIsTerminal;
      return runTranscribe(settings, out, err);
    }
    if (*detect) {
      auto settings = detectSettings;
      settings.model = given(detect, "--model", model);
      return runDetectLanguage(settings, out);
    }
    if (*convert) return runConvert(convertSettings, out);
    if (*download) {
      auto settings = downloadSettings;
      settings.model = given(download, "--model", modelName);
      settings.downloadBase = given(download, "--download-base", downloadBase);
      settings.token = given(download, "--token", token);
      settings.progressBar = errIsTerminal;
      return runDownload(settings, out, err);
    }
    if (*models) {
      auto settings = modelsSettings;
      settings.downloadBase = given(models, "--download-base", downloadBase);
      settings.token = given(models, "--token", token);
      return runModels(settings, out, err);
    }
    if (*devices) return runDevices(out, err);
    if (*live) {
      auto settings = liveSettings;
      settings.model = given(live, "--model", model);
      settings.language = given(live, "--language", liveLanguage);
      if (live->get_option("--device")->count() > 0) settings.device = device;
      if (live->get_option("--seconds")->count() > 0) settings.seconds = liveSeconds;
      settings.refreshTail = terminals.out;
      return runLive(settings, out, err);
    }
    if (*completion) {
      out << bashCompletion(app);
      return 0;
    }
    if (helpTopic.empty()) {
      out << manual(app);
      return 0;
    }
    for (const auto* command : app.get_subcommands([](const CLI::App*) { return true; })) {
      if (command->get_name() == helpTopic) {
        out << command->help("kestrune");
        return 0;
      }
    }
    throw UsageFailure("help: no command \"" + helpTopic + "\"");
  }
};

// The command whose options failed to parse, for the pointer to its help.
std::string helpPointer(const Commands& commands) {
  for (const auto* command : commands.app.get_subcommands()) {
    return " (see `kestrune " + command->get_name() + " --help`)";
  }
  return " (see `kestrune --help`)";
}

std::string oneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
        Terminals terminals) {
  try {
    Commands commands;
    if (argc > 1 && argv[1][0] != '-') {
      std::string known;
      bool found = false;
      for (const auto* command :
           commands.app.get_subcommands([](const CLI::App*) { return true; })) {
        found = found || command->get_name() == argv[1];
        known += (known.empty() ? "" : ", ") + command->get_name();
      }
      if (!found) {
        err << "kestrune: unknown command \"" << argv[1] << "\"; the commands are " << known
            << '\n';
        return 2;
      }
    }
    try {
      commands.app.parse(argc, argv);
    } catch (const CLI::Success& success) {
      return commands.app.exit(success, out, err);
    } catch (const CLI::ParseError& failure) {
      err << "kestrune: " << oneLine(failure.what()) << helpPointer(commands) << '\n';
      return 2;
    }
    try {
      return commands.dispatch(out, err, terminals);
    } catch (const UsageFailure& failure) {
      err << "kestrune: " << oneLine(failure.what()) << '\n';
      return 2;
    }
  } catch (const CommandFailure& failure) {
    err << "kestrune: " << oneLine(failure.what()) << '\n';
  } catch (const std::exception& failure) {
    err << "kestrune: " << oneLine(describe(failure)) << '\n';
  } catch (...) {
    err << "kestrune: unexpected failure\n";
  }
  return 1;
}

}  // namespace kestrune::cli
