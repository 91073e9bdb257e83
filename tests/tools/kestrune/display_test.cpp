#include <gtest/gtest.h>

#include <sstream>

#include "tools/kestrune/LivePrinter.hpp"
#include "tools/kestrune/ProgressDisplay.hpp"

namespace kestrune::cli {
namespace {

TEST(ProgressLineTest, ShowsShareTimesAndRealtimeFactor) {
  struct Case {
    double fraction, elapsed, audio;
    std::string expected;
  };
  const std::vector<Case> cases{
      {0, 3, 60, "a.wav [----------]   0%  0:03 elapsed  ~-:-- left"},
      // Half of 40 s of audio in 10 s: 10 s more expected, 0.5 s per second.
      {0.5, 10, 40, "a.wav [#####-----]  50%  0:10 elapsed  ~0:10 left  0.50x realtime"},
      {0.999, 100, 10, "a.wav [#########-]  99%  1:40 elapsed  ~0:00 left  10.01x realtime"},
      {1, 3725, 3600, "a.wav [##########] 100%  1:02:05 elapsed  ~0:00 left  1.03x realtime"},
      // Out-of-range shares are clamped, never drawn past the bar.
      {1.7, 5, 10, "a.wav [##########] 100%  0:05 elapsed  ~0:00 left  0.50x realtime"},
      {-0.2, 5, 10, "a.wav [----------]   0%  0:05 elapsed  ~-:-- left"},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(progressLine("a.wav", test.fraction, test.elapsed, test.audio, 10), test.expected);
  }
}

TranscriptionSegment segment(const std::string& text) {
  TranscriptionSegment made;
  made.text = text;
  return made;
}

AudioStreamTranscriber::State state(std::vector<std::string> confirmed,
                                    std::vector<std::string> unconfirmed,
                                    std::string current = "") {
  AudioStreamTranscriber::State made;
  for (const auto& text : confirmed) made.confirmedSegments.push_back(segment(text));
  for (const auto& text : unconfirmed) made.unconfirmedSegments.push_back(segment(text));
  made.currentText = std::move(current);
  return made;
}

TEST(LivePrinterTest, ConfirmedTextOnceAndTheTailRedrawnInPlace) {
  const std::vector<AudioStreamTranscriber::State> states{
      state({}, {}, "Waiting for speech..."),
      state({}, {" Ask not"}),
      state({}, {" Ask not"}),  // unchanged: nothing drawn
      state({" Ask not what"}, {" your country"}),
      state({" Ask not what", " your country"}, {" can do"}),
  };
  const auto render = [&](bool terminal) {
    std::ostringstream out;
    LivePrinter printer(out, terminal);
    for (const auto& each : states) printer.show(each);
    printer.close(states.back());
    return out.str();
  };
  EXPECT_EQ(render(true),
            "Waiting for speech..."
            "\r\033[KAsk not"
            "\r\033[KAsk not what\n"
            "your country"
            "\r\033[Kyour country\n"
            "can do"
            "\r\033[Kcan do\n");
  // Off a terminal only final lines: confirmed text, then what was left.
  EXPECT_EQ(render(false), "Ask not what\nyour country\ncan do\n");
}

}  // namespace
}  // namespace kestrune::cli
