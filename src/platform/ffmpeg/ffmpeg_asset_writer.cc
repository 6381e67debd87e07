#include "platform/ffmpeg/ffmpeg_asset_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/ffmpeg/ffmpeg_common.h"
#include "platform/linux/pcm_sample_buffer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

namespace sorvanel {
namespace {

constexpr int kIoBufferSize = 64 * 1024;
constexpr int kMaxChannels = 2;

// Every error of a writer names its file.
Error writeError(const std::string& path, int averror) {
    return ffmpegError(averror, "Cannot write " + path);
}

// Misuse of the writer: a platform error of its own, outside the tool's domain.
Error writeError(const std::string& path, const std::string& reason) {
    return Error("FFmpeg", AVERROR(EINVAL), "Cannot write " + path + ": " + reason);
}

std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// What a writer needs of the file's place: a writable folder and nothing there yet. The file
// itself is created only when writing starts, exclusively.
void checkCanCreate(const std::string& path) {
    if (path.empty()) throw writeError(path, AVERROR(ENOENT));
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0) throw writeError(path, AVERROR(EEXIST));
    if (errno != ENOENT) throw writeError(path, AVERROR(errno));
    const std::string folder = folderOf(path);
    if (::stat(folder.c_str(), &status) != 0) throw writeError(path, AVERROR(errno));
    if (!S_ISDIR(status.st_mode)) throw writeError(path, AVERROR(ENOTDIR));
    if (::access(folder.c_str(), W_OK | X_OK) != 0) throw writeError(path, AVERROR(errno));
}

// The wall clock in UTC, as ISO 8601 with microseconds, the form FFmpeg's muxers read.
std::string utcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() %
        1'000'000;
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[40];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%06lldZ", static_cast<long long>(micros));
    return text;
}

// The state of one file, shared by the writer and its input; every call holds the mutex, since
// appends come from the capture queue and finishing from a thread of its own.
class Encoding {
  public:
    explicit Encoding(std::string path) : path_(std::move(path)) {}
    ~Encoding() { release(); }
    Encoding(const Encoding&) = delete;
    Encoding& operator=(const Encoding&) = delete;

    void attach(const AudioOutputSettings& settings) {
        std::lock_guard lock(mutex_);
        if (settings_)
            error_ = writeError(path_, "the writer takes one audio input");
        else
            settings_ = settings;
    }

    bool start() {
        std::lock_guard lock(mutex_);
        if (status_ != Status::unknown) {
            if (!error_) error_ = writeError(path_, "writing has already started");
            return false;
        }
        if (!open()) {
            discardCreated();
            status_ = Status::failed;
            return false;
        }
        status_ = Status::writing;
        return true;
    }

    void startSession(MediaTime time) {
        std::lock_guard lock(mutex_);
        if (status_ != Status::writing || sessionStart_) return;
        sessionStart_ = time.isValid() ? samplePosition(time) : 0;
    }

    bool ready() const {
        std::lock_guard lock(mutex_);
        return status_ == Status::writing && !inputFinished_;
    }

    bool append(const SampleBuffer& buffer) {
        std::lock_guard lock(mutex_);
        if (status_ != Status::writing || inputFinished_ || !sessionStart_) {
            if (!error_) error_ = writeError(path_, "the writer takes no buffer now");
            return false;
        }
        if (!appendSamples(buffer)) {
            status_ = Status::failed;
            return false;
        }
        return true;
    }

    void markInputFinished() {
        std::lock_guard lock(mutex_);
        inputFinished_ = true;
    }

    // Flushes the encoder, writes the trailer and closes the file. After a failed append too:
    // what was written before it then plays, unless writing to the file itself failed.
    void finish() {
        std::lock_guard lock(mutex_);
        if (status_ == Status::unknown && !error_)
            error_ = writeError(path_, "writing never started");
        inputFinished_ = true;
        if (fd_ >= 0 && headerWritten_ && !ioFailed_) {
            const bool flushed = flush();
            const bool trailed = !ioFailed_ && writeTrailer();
            if (!flushed || !trailed) status_ = Status::failed;
        }
        if (!closeFile()) status_ = Status::failed;
        if (status_ == Status::writing) status_ = Status::completed;
    }

    std::optional<Error> error() const {
        std::lock_guard lock(mutex_);
        return error_;
    }

  private:
    enum class Status { unknown, writing, completed, failed };

    bool fail(int averror) {
        if (!error_) error_ = writeError(path_, averror);
        return false;
    }
    bool fail(const std::string& reason) {
        if (!error_) error_ = writeError(path_, reason);
        return false;
    }

    std::int64_t samplePosition(MediaTime time) const {
        return av_rescale_rnd(time.value, settings_->sampleRate, time.timescale,
                              static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
    }

    bool open() {
        if (!settings_) return fail("the writer has no input");
        const AudioOutputSettings& settings = *settings_;
        if (settings.formatID != kAudioFormatMPEG4AAC || settings.sampleRate <= 0 ||
            settings.sampleRate > INT32_MAX || settings.numberOfChannels < 1 ||
            settings.numberOfChannels > kMaxChannels || settings.encoderBitRate <= 0)
            return fail("unsupported output settings");

        const AVCodec* encoder = avcodec_find_encoder_by_name("aac");
        if (!encoder) return fail(AVERROR_ENCODER_NOT_FOUND);
        codec_ = avcodec_alloc_context3(encoder);
        if (!codec_) return fail(AVERROR(ENOMEM));
        codec_->sample_fmt = AV_SAMPLE_FMT_FLTP;
        codec_->sample_rate = static_cast<int>(settings.sampleRate);
        av_channel_layout_default(&codec_->ch_layout, static_cast<int>(settings.numberOfChannels));
        codec_->bit_rate = settings.encoderBitRate;
        codec_->time_base = AVRational{1, codec_->sample_rate};

        if (int error = avformat_alloc_output_context2(&format_, nullptr, "ipod", nullptr);
            error < 0)
            return fail(error);
        if (format_->oformat->flags & AVFMT_GLOBALHEADER)
            codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (int error = avcodec_open2(codec_, encoder, nullptr); error < 0) return fail(error);

        stream_ = avformat_new_stream(format_, nullptr);
        if (!stream_) return fail(AVERROR(ENOMEM));
        stream_->time_base = codec_->time_base;
        if (int error = avcodec_parameters_from_context(stream_->codecpar, codec_); error < 0)
            return fail(error);

        fifo_ = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, codec_->ch_layout.nb_channels,
                                    4 * codec_->frame_size);
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
        if (!fifo_ || !frame_ || !packet_) return fail(AVERROR(ENOMEM));

        // Exclusively: a file that appeared since the writer was made is not touched.
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0) return fail(AVERROR(errno));
        auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
        if (!buffer) return fail(AVERROR(ENOMEM));
        io_ = avio_alloc_context(buffer, kIoBufferSize, 1, this, nullptr, &Encoding::writeOut,
                                 &Encoding::seek);
        if (!io_) {
            av_free(buffer);
            return fail(AVERROR(ENOMEM));
        }
        format_->pb = io_;
        format_->flags |= AVFMT_FLAG_CUSTOM_IO;

        // The edit list in the default movie timescale (1000) would round the length.
        AVDictionary* options = nullptr;
        av_dict_set(&options, "movie_timescale", std::to_string(settings.sampleRate).c_str(), 0);
        // The file names its writer, as AVFoundation's do; its creation is the capture's start,
        // which is when writing starts: with the capture's first buffer.
        av_dict_set(&format_->metadata, "encoding_tool", "SorvanelAudio " SORVANEL_VERSION, 0);
        av_dict_set(&format_->metadata, "creation_time", utcNow().c_str(), 0);
        const int error = avformat_write_header(format_, &options);
        av_dict_free(&options);
        if (error < 0) return fail(error);
        // The header reaches the file now: a file that cannot take it fails the start, and goes.
        avio_flush(io_);
        if (io_->error < 0) return fail(io_->error);
        headerWritten_ = true;
        return true;
    }

    bool appendSamples(const SampleBuffer& sampleBuffer) {
        const NativeSampleBuffer* pcm = sampleBuffer.native();
        if (!pcm) return fail("the buffer holds no audio frames");
        const NativeSampleBuffer& buffer = *pcm;
        const int channels = codec_->ch_layout.nb_channels;
        const std::uint32_t given = buffer.channelCount();
        if (buffer.sampleRate() != static_cast<double>(codec_->sample_rate) || given == 0 ||
            (given != static_cast<std::uint32_t>(channels) && given != 1))
            return fail("the buffer's audio format differs from the writer's");

        const std::int64_t frames = buffer.frameCount();
        const MediaTime time = sampleBuffer.presentationTimeStamp();
        // Where the buffer belongs on the file's timeline; an invalid time follows on.
        const std::int64_t position =
            time.isValid() ? samplePosition(time) - *sessionStart_ : written_;
        if (position > written_ && !writeSilence(position - written_)) return false;
        const std::int64_t skip = std::clamp<std::int64_t>(written_ - position, 0, frames);
        if (skip == frames) return true;  // wholly before what is already written

        std::array<void*, kMaxChannels> planes{};
        for (int channel = 0; channel < channels; ++channel) {
            const float* data = buffer.channelData(given == 1 ? 0 : channel);
            planes[channel] = const_cast<float*>(data + skip);  // the fifo only reads it
        }
        const int count = static_cast<int>(frames - skip);
        if (av_audio_fifo_write(fifo_, planes.data(), count) < count) return fail(AVERROR(ENOMEM));
        written_ += count;
        return encodeWholeFrames();
    }

    bool writeSilence(std::int64_t frames) {
        static const std::vector<float> zeros(1024, 0.0f);
        std::array<void*, kMaxChannels> planes{};
        for (auto& plane : planes) plane = const_cast<float*>(zeros.data());
        while (frames > 0) {
            const int count = static_cast<int>(std::min<std::int64_t>(frames, zeros.size()));
            if (av_audio_fifo_write(fifo_, planes.data(), count) < count)
                return fail(AVERROR(ENOMEM));
            written_ += count;
            frames -= count;
            if (!encodeWholeFrames()) return false;
        }
        return true;
    }

    bool encodeWholeFrames() {
        while (av_audio_fifo_size(fifo_) >= codec_->frame_size)
            if (!encodeFrame(codec_->frame_size)) return false;
        return true;
    }

    bool encodeFrame(int frames) {
        frame_->nb_samples = frames;
        frame_->format = codec_->sample_fmt;
        frame_->sample_rate = codec_->sample_rate;
        if (int error = av_channel_layout_copy(&frame_->ch_layout, &codec_->ch_layout); error < 0)
            return fail(error);
        if (int error = av_frame_get_buffer(frame_, 0); error < 0) return fail(error);
        av_audio_fifo_read(fifo_, reinterpret_cast<void**>(frame_->data), frames);
        // The first frame at the encoder's own zero: its priming becomes the edit list's offset,
        // with no empty edit before it.
        frame_->pts = encoded_;
        encoded_ += frames;
        const int error = avcodec_send_frame(codec_, frame_);
        av_frame_unref(frame_);
        if (error < 0) return fail(error);
        return writePackets();
    }

    bool writePackets() {
        int error = 0;
        while ((error = avcodec_receive_packet(codec_, packet_)) == 0) {
            av_packet_rescale_ts(packet_, codec_->time_base, stream_->time_base);
            packet_->stream_index = stream_->index;
            error = av_interleaved_write_frame(format_, packet_);
            if (error < 0) return fail(error);
        }
        if (error != AVERROR(EAGAIN) && error != AVERROR_EOF) return fail(error);
        return true;
    }

    bool flush() {
        // The last packet may be short; its real length is kept.
        if (int rest = av_audio_fifo_size(fifo_); rest > 0 && !encodeFrame(rest)) return false;
        if (int error = avcodec_send_frame(codec_, nullptr); error < 0) return fail(error);
        return writePackets();
    }

    bool writeTrailer() {
        if (int error = av_write_trailer(format_); error < 0) return fail(error);
        avio_flush(io_);
        if (io_->error < 0) return fail(io_->error);
        return true;
    }

    // A file this run created and could not set up holds nothing worth keeping, and would make
    // the next run with its path fail. It goes, but only while the path still names it.
    void discardCreated() {
        if (fd_ < 0) return;
        struct stat ours {
        }, there{};
        if (::fstat(fd_, &ours) == 0 && ::lstat(path_.c_str(), &there) == 0 &&
            ours.st_dev == there.st_dev && ours.st_ino == there.st_ino)
            ::unlink(path_.c_str());
        ::close(fd_);
        fd_ = -1;
    }

    bool closeFile() {
        if (fd_ < 0) return true;
        const int result = ::close(fd_);
        fd_ = -1;
        if (result != 0 && errno != EINTR) return fail(AVERROR(errno));
        return true;
    }

    void release() {
        if (io_) {
            av_freep(&io_->buffer);
            avio_context_free(&io_);
        }
        avformat_free_context(format_);
        avcodec_free_context(&codec_);
        if (fifo_) av_audio_fifo_free(fifo_);
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        if (fd_ >= 0) ::close(fd_);
    }

    static int writeOut(void* opaque, std::uint8_t* data, int size) {
        auto* self = static_cast<Encoding*>(opaque);
        int left = size;
        while (left > 0) {
            const ssize_t count = ::write(self->fd_, data, static_cast<std::size_t>(left));
            if (count < 0) {
                if (errno == EINTR) continue;
                self->ioFailed_ = true;
                return AVERROR(errno);
            }
            if (count == 0) {
                self->ioFailed_ = true;
                return AVERROR(EIO);
            }
            data += count;
            left -= static_cast<int>(count);
        }
        return size;
    }

    static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
        auto* self = static_cast<Encoding*>(opaque);
        if (whence & AVSEEK_SIZE) {
            struct stat status {};
            if (::fstat(self->fd_, &status) != 0) return AVERROR(errno);
            return status.st_size;
        }
        const off_t result = ::lseek(self->fd_, offset, whence & ~AVSEEK_FORCE);
        if (result >= 0) return result;
        self->ioFailed_ = true;
        return AVERROR(errno);
    }

    mutable std::mutex mutex_;
    const std::string path_;
    Status status_ = Status::unknown;
    std::optional<AudioOutputSettings> settings_;
    std::optional<Error> error_;
    std::optional<std::int64_t> sessionStart_;  // in samples of the output rate
    std::int64_t written_ = 0;                  // frames on the file's timeline so far
    std::int64_t encoded_ = 0;                  // frames handed to the encoder
    bool inputFinished_ = false;
    bool headerWritten_ = false;
    bool ioFailed_ = false;  // writing to the file itself failed: no trailer can follow

    int fd_ = -1;
    AVCodecContext* codec_ = nullptr;
    AVFormatContext* format_ = nullptr;
    AVStream* stream_ = nullptr;
    AVIOContext* io_ = nullptr;
    AVAudioFifo* fifo_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
};

class FfmpegWriterInput final : public AssetWriterInput {
  public:
    explicit FfmpegWriterInput(AudioOutputSettings settings) : settings_(settings) {}

    const AudioOutputSettings& settings() const { return settings_; }
    void attach(std::shared_ptr<Encoding> encoding) { encoding_ = std::move(encoding); }

    // Encoding keeps pace with the appends, so there is nothing to tune for real time.
    void setExpectsMediaDataInRealTime(bool) override {}
    bool isReadyForMoreMediaData() const override { return encoding_ && encoding_->ready(); }
    bool appendSampleBuffer(const SampleBuffer& buffer) override {
        return encoding_ && encoding_->append(buffer);
    }
    void markAsFinished() override {
        if (encoding_) encoding_->markInputFinished();
    }

  private:
    const AudioOutputSettings settings_;
    std::shared_ptr<Encoding> encoding_;
};

class FfmpegAssetWriter final : public AssetWriter {
  public:
    explicit FfmpegAssetWriter(std::string path)
        : encoding_(std::make_shared<Encoding>(std::move(path))) {}

    ~FfmpegAssetWriter() override {
        if (!finisher_.joinable()) return;
        if (finisher_.get_id() == std::this_thread::get_id())
            finisher_.detach();  // released by its own completion handler
        else
            finisher_.join();
    }

    void addInput(std::shared_ptr<AssetWriterInput> input) override {
        auto ours = std::dynamic_pointer_cast<FfmpegWriterInput>(input);
        if (!ours) return;  // not one of ours: starting will say the writer has no input
        encoding_->attach(ours->settings());
        ours->attach(encoding_);
    }

    bool startWriting() override { return encoding_->start(); }
    void startSessionAtSourceTime(MediaTime time) override { encoding_->startSession(time); }

    void finishWriting(std::function<void()> completionHandler) override {
        if (finisher_.joinable()) finisher_.join();
        // Off the caller's thread, as the completion must be.
        finisher_ = std::thread([encoding = encoding_, handler = std::move(completionHandler)] {
            encoding->finish();
            handler();
        });
    }

    std::optional<Error> error() const override { return encoding_->error(); }

  private:
    std::shared_ptr<Encoding> encoding_;
    std::thread finisher_;
};

}  // namespace

std::shared_ptr<AssetWriter> FfmpegAssetWriterFactory::makeWriter(const std::string& path,
                                                                  FileType) {
    checkCanCreate(path);
    return std::make_shared<FfmpegAssetWriter>(path);
}

std::shared_ptr<AssetWriterInput> FfmpegAssetWriterFactory::makeInput(
    MediaType, const AudioOutputSettings& settings) {
    return std::make_shared<FfmpegWriterInput>(settings);
}

}  // namespace sorvanel
