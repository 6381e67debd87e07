#include "platform/ffmpeg/ffmpeg_audio_file.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

#include "platform/ffmpeg/ffmpeg_common.h"

namespace sorvanel {
namespace {

struct FormatClose {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct SwrFree {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatClose>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFree>;

Error readError(const std::string& path, int code, const std::string& problem) {
    return Error("FFmpeg", code, "Cannot read " + path + ": " + problem);
}

Error notAudio(const std::string& path, int code) {
    return readError(path, code, "it is not an audio file that can be decoded.");
}

Error corrupt(const std::string& path, int code) {
    return readError(path, code, "the audio stream is corrupt (" + ffmpegErrorText(code) + ").");
}

PacketPtr makePacket() {
    PacketPtr packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();
    return packet;
}

// The container of `path` with its first audio stream; every other stream is left unread.
class Demuxer {
  public:
    FormatPtr format;
    AVStream* stream = nullptr;

    // The path is a file's, whatever it looks like: "file:" keeps FFmpeg from reading a prefix
    // such as "http:" as a protocol.
    explicit Demuxer(const std::string& path) : url_("file:" + path) {
        AVFormatContext* raw = avformat_alloc_context();
        if (!raw) throw std::bad_alloc();
        raw->opaque = this;
        raw->io_open = openOnlyThePath;
        AVDictionary* options = nullptr;
        av_dict_set(&options, "protocol_whitelist", "file", 0);
        const int opened = avformat_open_input(&raw, url_.c_str(), nullptr, &options);
        av_dict_free(&options);
        if (opened == AVERROR_INVALIDDATA || opened == AVERROR_EOF || opened == AVERROR(EPERM))
            throw notAudio(path, opened);
        if (opened < 0) throw ffmpegError(opened, "Cannot open " + path);
        format.reset(raw);
        const int found = avformat_find_stream_info(raw, nullptr);
        if (found < 0) throw notAudio(path, found);
        for (unsigned i = 0; i < raw->nb_streams; ++i) {
            AVStream* s = raw->streams[i];
            if (!stream && s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
                stream = s;
            else
                s->discard = AVDISCARD_ALL;
        }
        if (!stream) throw notAudio(path, AVERROR_STREAM_NOT_FOUND);
    }
    Demuxer(const Demuxer&) = delete;
    Demuxer& operator=(const Demuxer&) = delete;

    // False at the end of the file; only packets of the audio stream come back.
    bool readPacket(AVPacket* packet, const std::string& path) {
        for (;;) {
            const int read = av_read_frame(format.get(), packet);
            if (read == AVERROR_EOF) return false;
            if (read < 0) throw corrupt(path, read);
            if (packet->stream_index == stream->index) return true;
            av_packet_unref(packet);
        }
    }

  private:
    // Playlists and other indirect formats would make FFmpeg open further files or URLs named
    // inside the file; only the file itself is read.
    static int openOnlyThePath(AVFormatContext* s, AVIOContext** pb, const char* url, int flags,
                               AVDictionary** options) {
        const auto* self = static_cast<const Demuxer*>(s->opaque);
        if (self->url_ != url) return AVERROR(EPERM);
        return avio_open2(pb, url, flags, &s->interrupt_callback, options);
    }

    std::string url_;
};

// Decoded audio of the first stream, frame by frame, as one float plane per channel.
class StreamDecoder {
  public:
    explicit StreamDecoder(const std::string& path) : path_(path), demuxer_(path) {
        const AVCodecParameters* parameters = demuxer_.stream->codecpar;
        const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
        if (!codec) throw notAudio(path, AVERROR_DECODER_NOT_FOUND);
        codec_.reset(avcodec_alloc_context3(codec));
        if (!codec_) throw std::bad_alloc();
        int code = avcodec_parameters_to_context(codec_.get(), parameters);
        if (code < 0) throw notAudio(path, code);
        codec_->thread_count = 1;
        codec_->request_sample_fmt = AV_SAMPLE_FMT_FLTP;
        code = avcodec_open2(codec_.get(), codec, nullptr);
        if (code < 0) throw notAudio(path, code);
        format_.sampleRate = codec_->sample_rate;
        format_.channelCount =
            static_cast<std::uint32_t>(std::max(codec_->ch_layout.nb_channels, 0));
        if (codec_->sample_rate <= 0 || format_.channelCount == 0)
            throw notAudio(path, AVERROR_INVALIDDATA);
        packet_ = makePacket();
        frame_.reset(av_frame_alloc());
        if (!frame_) throw std::bad_alloc();
        planes_.resize(format_.channelCount);
    }

    const AudioFormat& format() const { return format_; }
    Demuxer& demuxer() { return demuxer_; }

    // The next decoded frames, or 0 at the end of the stream.
    int next(const float* const*& planes) {
        for (;;) {
            const int received = avcodec_receive_frame(codec_.get(), frame_.get());
            if (received == 0) {
                const int count = deliver();
                if (count == 0) continue;
                planes = planes_.data();
                return count;
            }
            if (received == AVERROR_EOF) return 0;
            if (received != AVERROR(EAGAIN)) throw corrupt(path_, received);
            AVPacket* packet = ended_ ? nullptr : packet_.get();
            if (packet && !demuxer_.readPacket(packet, path_)) {
                packet = nullptr;
                ended_ = true;
            }
            const int sent = avcodec_send_packet(codec_.get(), packet);
            if (packet) av_packet_unref(packet);
            if (sent < 0 && sent != AVERROR_EOF) throw corrupt(path_, sent);
        }
    }

  private:
    // Points the planes at the received frame, converted to float planes only where the decoder
    // gives another sample format. Never resamples or remixes.
    int deliver() {
        AVFrame* frame = frame_.get();
        const int count = frame->nb_samples;
        if (frame->sample_rate != static_cast<int>(format_.sampleRate) ||
            frame->ch_layout.nb_channels != static_cast<int>(format_.channelCount)) {
            throw readError(path_, AVERROR_INVALIDDATA,
                            "its audio format changes inside the stream.");
        }
        if (count <= 0) return 0;
        if (frame->format == AV_SAMPLE_FMT_FLTP) {
            for (std::size_t c = 0; c < planes_.size(); ++c)
                planes_[c] = reinterpret_cast<const float*>(frame->extended_data[c]);
            return count;
        }
        if (!converter_ || converterFormat_ != frame->format) {
            SwrContext* raw = nullptr;
            int code = swr_alloc_set_opts2(
                &raw, &frame->ch_layout, AV_SAMPLE_FMT_FLTP, frame->sample_rate, &frame->ch_layout,
                static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
            converter_.reset(raw);
            if (code >= 0) code = swr_init(raw);
            if (code < 0) throw corrupt(path_, code);
            converterFormat_ = frame->format;
        }
        const std::size_t needed = static_cast<std::size_t>(count) * planes_.size();
        if (converted_.size() < needed) converted_.resize(needed);
        std::vector<std::uint8_t*> out(planes_.size());
        for (std::size_t c = 0; c < planes_.size(); ++c) {
            float* plane = converted_.data() + c * static_cast<std::size_t>(count);
            out[c] = reinterpret_cast<std::uint8_t*>(plane);
            planes_[c] = plane;
        }
        const int made = swr_convert(converter_.get(), out.data(), count,
                                     const_cast<const std::uint8_t**>(frame->extended_data), count);
        if (made != count) throw corrupt(path_, made < 0 ? made : AVERROR_BUG);
        return count;
    }

    std::string path_;
    Demuxer demuxer_;
    CodecPtr codec_;
    PacketPtr packet_;
    FramePtr frame_;
    SwrPtr converter_;
    int converterFormat_ = AV_SAMPLE_FMT_NONE;
    std::vector<float> converted_;
    std::vector<const float*> planes_;
    AudioFormat format_;
    bool ended_ = false;
};

// Frames of an MP4-family file, from its packets alone: their durations less the priming and
// padding that the edit list marks. The decoder would deliver whole AAC frames, end padding
// included, so reads stop at this count. Empty when a packet does not state its duration.
std::optional<std::int64_t> framesFromPackets(const std::string& path, int sampleRate) {
    Demuxer demuxer(path);
    PacketPtr packet = makePacket();
    std::int64_t duration = 0;
    std::int64_t dropped = 0;
    while (demuxer.readPacket(packet.get(), path)) {
        const std::int64_t own = packet->duration;
        std::size_t size = 0;
        const std::uint8_t* skip =
            av_packet_get_side_data(packet.get(), AV_PKT_DATA_SKIP_SAMPLES, &size);
        if (skip && size >= 8)
            dropped += static_cast<std::int64_t>(AV_RL32(skip)) + AV_RL32(skip + 4);
        av_packet_unref(packet.get());
        if (own <= 0 || __builtin_add_overflow(duration, own, &duration)) return std::nullopt;
    }
    const std::int64_t frames =
        av_rescale_q(duration, demuxer.stream->time_base, AVRational{1, sampleRate});
    return std::max<std::int64_t>(frames - dropped, 0);
}

// Frames the decoder delivers, counted by decoding once. Elsewhere packet durations need not add
// up to the decoded audio (Ogg's granule positions trim Vorbis and Opus), and the decoder with
// the demuxer's skip data already drops what is not audio.
std::int64_t framesFromDecoding(const std::string& path) {
    StreamDecoder decoder(path);
    std::int64_t frames = 0;
    const float* const* planes = nullptr;
    while (const int count = decoder.next(planes)) frames += count;
    return frames;
}

class FfmpegAudioFile final : public AudioFile {
  public:
    explicit FfmpegAudioFile(const std::string& path) : path_(path), decoder_(path) {
        const int rate = static_cast<int>(decoder_.format().sampleRate);
        const bool mp4 =
            std::string_view(decoder_.demuxer().format->iformat->name).starts_with("mov,");
        const auto fromPackets = mp4 ? framesFromPackets(path, rate) : std::nullopt;
        length_ = fromPackets ? *fromPackets : framesFromDecoding(path);
    }

    AudioFormat processingFormat() const override { return decoder_.format(); }
    std::int64_t length() const override { return length_; }
    std::int64_t framePosition() const override { return position_; }

    bool makeReadBuffer(std::uint32_t frameCapacity) override {
        const std::uint32_t channels = decoder_.format().channelCount;
        samples_.assign(static_cast<std::size_t>(channels) * frameCapacity, 0.0f);
        planes_.resize(channels);
        for (std::uint32_t c = 0; c < channels; ++c)
            planes_[c] = samples_.data() + static_cast<std::size_t>(c) * frameCapacity;
        capacity_ = frameCapacity;
        return true;
    }

    PcmBufferView readIntoBuffer() override {
        if (planes_.empty()) throw readError(path_, AVERROR(EINVAL), "it has no read buffer.");
        const std::uint32_t channels = decoder_.format().channelCount;
        const std::int64_t left = length_ - position_;
        const auto wanted = static_cast<std::uint32_t>(std::min<std::int64_t>(capacity_, left));
        std::uint32_t filled = 0;
        while (filled < wanted) {
            if (offset_ == available_) {
                available_ = decoder_.next(pending_);
                offset_ = 0;
                if (available_ == 0)
                    throw readError(path_, AVERROR_INVALIDDATA,
                                    "the audio ends before its stated length; the file is "
                                    "truncated or corrupt.");
            }
            const int take = std::min<int>(static_cast<int>(wanted - filled), available_ - offset_);
            for (std::uint32_t c = 0; c < channels; ++c)
                std::memcpy(planes_[c] + filled, pending_[c] + offset_, sizeof(float) * take);
            filled += static_cast<std::uint32_t>(take);
            offset_ += take;
        }
        position_ += filled;
        return PcmBufferView{planes_.data(), filled, capacity_};
    }

  private:
    std::string path_;
    StreamDecoder decoder_;
    std::int64_t length_ = 0;
    std::int64_t position_ = 0;
    const float* const* pending_ = nullptr;
    int available_ = 0;
    int offset_ = 0;
    // The read buffer: decoded frames are copied into it, since a decoder frame (1024 for AAC)
    // is not the 4096 frames of one read.
    std::vector<float> samples_;
    std::vector<float*> planes_;
    std::uint32_t capacity_ = 0;
};

}  // namespace

// FFmpeg believes the sizes that headers state: a 469-byte WAV whose LIST chunk claims 1.9 GB made
// it allocate and clear that much. No block a file needs comes near this bound; a one-hour MP4's
// sample index takes a few megabytes.
constexpr std::size_t kLargestFfmpegBlock = std::size_t{256} << 20;

FfmpegAudioFileReader::FfmpegAudioFileReader() {
    silenceFfmpegLogging();
    av_max_alloc(kLargestFfmpegBlock);
}

std::unique_ptr<AudioFile> FfmpegAudioFileReader::openForReading(const std::string& path) {
    return std::make_unique<FfmpegAudioFile>(path);
}

}  // namespace sorvanel
