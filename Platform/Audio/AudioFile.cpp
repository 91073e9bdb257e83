#include "Platform/Audio/AudioFile.hpp"

#include <algorithm>
#include <mutex>
#include <optional>
#include <vector>

#include "Platform/Audio/AudioError.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

namespace platform::audio {

namespace {

std::string libraryErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

// FFmpeg reports problems itself on standard error; ours go through our
// own errors instead, so its log is kept to fatal messages.
void quietLibraryLog() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_FATAL); });
}

struct FormatCloser {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecFreer {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct PacketFreer {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameFreer {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

template <typename Sample>
float normalised(Sample value) {
  if constexpr (std::is_same_v<Sample, uint8_t>) {
    return (static_cast<float>(value) - 128.0f) / 128.0f;
  } else if constexpr (std::is_same_v<Sample, int16_t>) {
    return static_cast<float>(value) / 32768.0f;
  } else if constexpr (std::is_same_v<Sample, int32_t>) {
    return static_cast<float>(static_cast<double>(value) / 2147483648.0);
  } else if constexpr (std::is_same_v<Sample, int64_t>) {
    return static_cast<float>(static_cast<double>(value) / 9223372036854775808.0);
  } else {
    return static_cast<float>(value);
  }
}

// Copies `count` frames of a decoded frame into the planes, starting at
// `destinationOffset` in each.
template <typename Sample>
void copySamples(const AVFrame& frame, bool planar, int channels,
                 std::vector<std::vector<float>>& planes, size_t destinationOffset) {
  const int count = frame.nb_samples;
  for (int channel = 0; channel < channels; ++channel) {
    float* destination = planes[channel].data() + destinationOffset;
    if (planar) {
      const auto* source = reinterpret_cast<const Sample*>(frame.extended_data[channel]);
      for (int i = 0; i < count; ++i) destination[i] = normalised(source[i]);
    } else {
      const auto* source = reinterpret_cast<const Sample*>(frame.extended_data[0]);
      for (int i = 0; i < count; ++i) destination[i] = normalised(source[i * channels + channel]);
    }
  }
}

void convertFrame(const AVFrame& frame, int channels, std::vector<std::vector<float>>& planes,
                  size_t destinationOffset) {
  const auto format = static_cast<AVSampleFormat>(frame.format);
  const bool planar = av_sample_fmt_is_planar(format) != 0;
  switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_U8:
      return copySamples<uint8_t>(frame, planar, channels, planes, destinationOffset);
    case AV_SAMPLE_FMT_S16:
      return copySamples<int16_t>(frame, planar, channels, planes, destinationOffset);
    case AV_SAMPLE_FMT_S32:
      return copySamples<int32_t>(frame, planar, channels, planes, destinationOffset);
    case AV_SAMPLE_FMT_S64:
      return copySamples<int64_t>(frame, planar, channels, planes, destinationOffset);
    case AV_SAMPLE_FMT_FLT:
      return copySamples<float>(frame, planar, channels, planes, destinationOffset);
    case AV_SAMPLE_FMT_DBL:
      return copySamples<double>(frame, planar, channels, planes, destinationOffset);
    default: throw AudioError("Unsupported decoded sample format");
  }
}

}  // namespace

struct AudioFile::Decoder {
  std::string path;
  std::unique_ptr<AVFormatContext, FormatCloser> format;
  std::unique_ptr<AVCodecContext, CodecFreer> codec;
  std::unique_ptr<AVPacket, PacketFreer> packet{av_packet_alloc()};
  std::unique_ptr<AVFrame, FrameFreer> frame{av_frame_alloc()};
  int streamIndex = -1;
  AVRational timeBase{1, 1};
  int64_t streamStart = 0;
  AudioFormat processingFormat;
  int64_t length = 0;
  // Index of the frame the next read delivers.
  int64_t position = 0;
  // Decoded audio not handed out yet: frames [pendingOffset, pendingFrames).
  std::vector<std::vector<float>> pending;
  size_t pendingOffset = 0;
  size_t pendingFrames = 0;
  bool draining = false;
  bool ended = false;
  // After a seek the demuxer lands at or before the wanted frame; decoded
  // audio before it is dropped.
  std::optional<int64_t> seekTarget;

  explicit Decoder(std::string filePath) : path(std::move(filePath)) {
    if (!packet || !frame) throw AudioError("Out of memory opening audio file at " + path);
    openStream();
    length = streamLength();
  }

  void openStream() {
    quietLibraryLog();
    AVFormatContext* rawFormat = nullptr;
    int status = avformat_open_input(&rawFormat, path.c_str(), nullptr, nullptr);
    if (status < 0) fail("Failed to open audio file at " + path, status);
    format.reset(rawFormat);
    status = avformat_find_stream_info(format.get(), nullptr);
    if (status < 0) fail("Failed to read stream information of " + path, status);
    const AVCodec* decoderCodec = nullptr;
    streamIndex = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &decoderCodec, 0);
    if (streamIndex < 0) fail("No audio stream in " + path, streamIndex);
    const AVStream* stream = format->streams[streamIndex];
    codec.reset(avcodec_alloc_context3(decoderCodec));
    if (!codec) throw AudioError("Out of memory opening audio file at " + path);
    status = avcodec_parameters_to_context(codec.get(), stream->codecpar);
    if (status < 0) fail("Unsupported audio stream in " + path, status);
    codec->pkt_timebase = stream->time_base;
    status = avcodec_open2(codec.get(), decoderCodec, nullptr);
    if (status < 0) fail("Failed to open the audio decoder for " + path, status);
    timeBase = stream->time_base;
    streamStart = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
    const int channels = stream->codecpar->ch_layout.nb_channels;
    const int rate = stream->codecpar->sample_rate;
    if (channels <= 0 || rate <= 0) {
      throw AudioError("Audio stream of " + path + " has no sample rate or channel layout");
    }
    processingFormat = {static_cast<double>(rate), static_cast<uint32_t>(channels)};
    pending.assign(static_cast<size_t>(channels), {});
  }

  [[noreturn]] static void fail(const std::string& what, int status) {
    throw AudioError(what + ": " + libraryErrorText(status));
  }

  int rate() const { return static_cast<int>(processingFormat.sampleRate); }

  // Containers that know their length exactly say so; a length guessed
  // from the bit rate is replaced by counting the decoded frames.
  int64_t streamLength() {
    const AVStream* stream = format->streams[streamIndex];
    const bool guessed = format->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE;
    if (!guessed && stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
      return av_rescale_q(stream->duration, timeBase, AVRational{1, rate()});
    }
    if (!guessed && format->duration != AV_NOPTS_VALUE && format->duration > 0) {
      return av_rescale(format->duration, rate(), AV_TIME_BASE);
    }
    int64_t frames = 0;
    while (decodeFrame()) {
      frames += static_cast<int64_t>(pendingFrames - pendingOffset);
      pendingOffset = pendingFrames;
    }
    length = frames;
    seek(0, true);
    return frames;
  }

  void seek(int64_t target, bool force) {
    target = std::clamp<int64_t>(target, 0, length);
    if (!force && target == position && !seekTarget) return;
    const int64_t timestamp = av_rescale_q(target, AVRational{1, rate()}, timeBase) + streamStart;
    int status = av_seek_frame(format.get(), streamIndex, timestamp, AVSEEK_FLAG_BACKWARD);
    if (status < 0) {
      status =
          avformat_seek_file(format.get(), streamIndex, INT64_MIN, streamStart, streamStart, 0);
    }
    if (status < 0) fail("Failed to seek in " + path, status);
    avcodec_flush_buffers(codec.get());
    pendingOffset = pendingFrames = 0;
    draining = ended = false;
    seekTarget = target;
    position = target;
  }

  // Decodes the next frame into `pending`; false at the end of the stream.
  bool decodeFrame() {
    while (!ended) {
      const int status = avcodec_receive_frame(codec.get(), frame.get());
      if (status == 0) {
        const bool kept = takeFrame();
        av_frame_unref(frame.get());
        if (kept) return true;
        continue;
      }
      if (status == AVERROR_EOF) {
        ended = true;
        break;
      }
      if (status != AVERROR(EAGAIN)) fail("Failed to decode audio of " + path, status);
      feedPacket();
    }
    return false;
  }

  void feedPacket() {
    const int status = av_read_frame(format.get(), packet.get());
    if (status == AVERROR_EOF) {
      if (!draining) avcodec_send_packet(codec.get(), nullptr);
      draining = true;
      return;
    }
    if (status < 0) fail("Failed to read audio data of " + path, status);
    int sent = 0;
    if (packet->stream_index == streamIndex) sent = avcodec_send_packet(codec.get(), packet.get());
    av_packet_unref(packet.get());
    if (sent < 0 && sent != AVERROR(EAGAIN)) fail("Failed to decode audio of " + path, sent);
  }

  // Moves the decoded frame into `pending`, applying a pending seek; false
  // when the whole frame lies before the seek target.
  bool takeFrame() {
    const AVFrame& decoded = *frame;
    const int channels = static_cast<int>(processingFormat.channelCount);
    if (decoded.ch_layout.nb_channels != channels) {
      throw AudioError("The channel count changes inside " + path);
    }
    if (decoded.sample_rate != rate()) throw AudioError("The sample rate changes inside " + path);
    const auto count = static_cast<size_t>(std::max(decoded.nb_samples, 0));
    size_t skip = 0;
    size_t gap = 0;
    if (seekTarget) {
      const int64_t timestamp = decoded.best_effort_timestamp;
      const int64_t start =
          timestamp == AV_NOPTS_VALUE
              ? *seekTarget
              : av_rescale_q(timestamp - streamStart, timeBase, AVRational{1, rate()});
      if (start + static_cast<int64_t>(count) <= *seekTarget) return false;
      if (start < *seekTarget) skip = static_cast<size_t>(*seekTarget - start);
      // A stream that resumes after the target is filled with silence so
      // that positions stay true.
      if (start > *seekTarget) gap = static_cast<size_t>(start - *seekTarget);
      seekTarget.reset();
    }
    for (auto& plane : pending) {
      plane.resize(gap + count);
      std::fill_n(plane.begin(), gap, 0.0f);
    }
    convertFrame(decoded, channels, pending, gap);
    pendingOffset = skip;
    pendingFrames = gap + count;
    return pendingOffset < pendingFrames;
  }

  void read(PCMBuffer& buffer, uint32_t frameCount) {
    if (buffer.channelCount() != processingFormat.channelCount) {
      throw AudioError("Buffer format does not match the audio file " + path);
    }
    const uint32_t wanted = std::min(frameCount, buffer.frameCapacity());
    uint32_t filled = 0;
    while (filled < wanted) {
      if (pendingOffset >= pendingFrames) {
        if (!decodeFrame()) break;
        continue;
      }
      const auto count =
          static_cast<uint32_t>(std::min<size_t>(wanted - filled, pendingFrames - pendingOffset));
      for (uint32_t channel = 0; channel < processingFormat.channelCount; ++channel) {
        const float* source = pending[channel].data() + pendingOffset;
        std::copy_n(source, count, buffer.floatChannelData(channel).data() + filled);
      }
      pendingOffset += count;
      filled += count;
    }
    buffer.setFrameLength(filled);
    position += filled;
  }
};

AudioFile::AudioFile(const std::string& path) : decoder_(std::make_unique<Decoder>(path)) {}
AudioFile::~AudioFile() = default;
AudioFile::AudioFile(AudioFile&&) noexcept = default;
AudioFile& AudioFile::operator=(AudioFile&&) noexcept = default;

const std::string& AudioFile::path() const noexcept {
  return decoder_->path;
}
const AudioFormat& AudioFile::processingFormat() const noexcept {
  return decoder_->processingFormat;
}
int64_t AudioFile::length() const noexcept {
  return decoder_->length;
}
int64_t AudioFile::framePosition() const noexcept {
  return decoder_->position;
}
void AudioFile::setFramePosition(int64_t frame) {
  decoder_->seek(frame, false);
}
void AudioFile::read(PCMBuffer& buffer, uint32_t frameCount) {
  decoder_->read(buffer, frameCount);
}

}  // namespace platform::audio
