#include "test_media.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

namespace sorvanel::testing {
namespace {

void check(int code, const char* what) {
    if (code < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(code, text, sizeof text);
        throw std::runtime_error(std::string(what) + ": " + text);
    }
}

struct Muxer {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    ~Muxer() {
        if (format && !(format->oformat->flags & AVFMT_NOFILE)) avio_closep(&format->pb);
        avformat_free_context(format);
        avcodec_free_context(&codec);
        av_frame_free(&frame);
        av_packet_free(&packet);
    }

    void drain() {
        for (;;) {
            const int got = avcodec_receive_packet(codec, packet);
            if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return;
            check(got, "encode");
            av_packet_rescale_ts(packet, codec->time_base, format->streams[0]->time_base);
            packet->stream_index = 0;
            check(av_interleaved_write_frame(format, packet), "write packet");
        }
    }
};

void writeFile(const std::string& path, const char* muxerName, AVCodecID codecId,
               AVSampleFormat sampleFormat, int sampleRate, std::uint32_t channels,
               std::int64_t frames, std::int64_t bitRate, const SampleFunction& sample) {
    Muxer m;
    check(avformat_alloc_output_context2(&m.format, nullptr, muxerName, path.c_str()), "muxer");
    const AVCodec* encoder = avcodec_find_encoder(codecId);
    if (!encoder) throw std::runtime_error("no encoder");
    AVStream* stream = avformat_new_stream(m.format, nullptr);
    m.codec = avcodec_alloc_context3(encoder);
    m.codec->sample_fmt = sampleFormat;
    m.codec->sample_rate = sampleRate;
    av_channel_layout_default(&m.codec->ch_layout, static_cast<int>(channels));
    m.codec->time_base = AVRational{1, sampleRate};
    if (bitRate > 0) m.codec->bit_rate = bitRate;
    if (m.format->oformat->flags & AVFMT_GLOBALHEADER)
        m.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check(avcodec_open2(m.codec, encoder, nullptr), "open encoder");
    check(avcodec_parameters_from_context(stream->codecpar, m.codec), "parameters");
    stream->time_base = m.codec->time_base;
    check(avio_open(&m.format->pb, path.c_str(), AVIO_FLAG_WRITE), "open output");
    AVDictionary* options = nullptr;
    if (std::string(muxerName) == "ipod")
        av_dict_set_int(&options, "movie_timescale", sampleRate, 0);
    const int header = avformat_write_header(m.format, &options);
    av_dict_free(&options);
    check(header, "write header");

    const int chunk = m.codec->frame_size > 0 ? m.codec->frame_size : 1024;
    m.frame = av_frame_alloc();
    m.packet = av_packet_alloc();
    const bool planar = av_sample_fmt_is_planar(sampleFormat);
    for (std::int64_t start = 0; start < frames; start += chunk) {
        const int n = static_cast<int>(std::min<std::int64_t>(chunk, frames - start));
        av_frame_unref(m.frame);
        m.frame->format = sampleFormat;
        m.frame->sample_rate = sampleRate;
        m.frame->nb_samples = n;
        check(av_channel_layout_copy(&m.frame->ch_layout, &m.codec->ch_layout), "layout");
        check(av_frame_get_buffer(m.frame, 0), "frame buffer");
        for (std::uint32_t c = 0; c < channels; ++c) {
            for (int i = 0; i < n; ++i) {
                const float value = sample(start + i, c);
                if (planar)
                    reinterpret_cast<float*>(m.frame->extended_data[c])[i] = value;
                else
                    reinterpret_cast<float*>(m.frame->data[0])[i * channels + c] = value;
            }
        }
        m.frame->pts = start;
        check(avcodec_send_frame(m.codec, m.frame), "encode");
        m.drain();
    }
    check(avcodec_send_frame(m.codec, nullptr), "flush");
    m.drain();
    check(av_write_trailer(m.format), "write trailer");
}

}  // namespace

void writeFloatWav(const std::string& path, int sampleRate, std::uint32_t channels,
                   std::int64_t frames, const SampleFunction& sample) {
    writeFile(path, "wav", AV_CODEC_ID_PCM_F32LE, AV_SAMPLE_FMT_FLT, sampleRate, channels, frames,
              0, sample);
}

void writeAacM4a(const std::string& path, int sampleRate, std::uint32_t channels,
                 std::int64_t frames, std::int64_t bitRate, const SampleFunction& sample) {
    writeFile(path, "ipod", AV_CODEC_ID_AAC, AV_SAMPLE_FMT_FLTP, sampleRate, channels, frames,
              bitRate, sample);
}

TempPath::TempPath(const std::string& suffix) {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/sorvanel-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) throw std::runtime_error("mkstemp");
    ::close(fd);
    ::unlink(pattern.c_str());
    path_ = pattern + suffix;
}

TempPath::~TempPath() {
    std::remove(path_.c_str());
}

}  // namespace sorvanel::testing
