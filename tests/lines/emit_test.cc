#include "lines/emit.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "lines/lines.h"

namespace sorvanel {
namespace {

// std::bit_cast, which the libc++ of Apple's macOS 13 SDK lacks.
template <class To, class From>
To bitsAs(const From& from) {
    static_assert(sizeof(To) == sizeof(From));
    To to;
    std::memcpy(&to, &from, sizeof to);
    return to;
}

TEST(FixedLines, PrintByteForByte) {
    EXPECT_EQ(serializeResult(checkLine(true)),
              R"({"authorized":true,"capture_source":"Ableton Live application audio"})");
    EXPECT_EQ(serializeResult(checkLine(false)),
              R"({"authorized":false,"capture_source":"Ableton Live application audio"})");
    EXPECT_EQ(serializeResult(permissionRequestLine(false)), R"({"authorized":false})");
    EXPECT_EQ(serializeResult(permissionRequestLine(true)), R"({"authorized":true})");
    EXPECT_EQ(serializeResult(usageLine()),
              R"({"error":"Usage: SorvanelAudio output.m4a duration_seconds"})");
    EXPECT_EQ(
        serializeResult(permissionRequiredLine()),
        R"({"error":"macOS audio-capture permission is required.","permission_required":true})");
    EXPECT_EQ(serializeResult(noSourceLine()),
              R"({"error":"Ableton Live must be open on an active display."})");
    EXPECT_EQ(serializeResult(readyLine({"com.ableton.live"})),
              R"({"applications":["com.ableton.live"],"source":"Ableton Live","type":"ready"})");
    EXPECT_EQ(serializeResult(readyLine({})),
              R"({"applications":[],"source":"Ableton Live","type":"ready"})");
}

TEST(KeyOrder, IsByteOrderAtEveryLevel) {
    ResultObject metrics{{"waveform", std::vector<float>{0.5f}},
                         {"sample_rate", 48000.0},
                         {"rms_dbfs", -3.0},
                         {"peak_dbfs", 0.0},
                         {"has_signal", true},
                         {"duration_seconds", 10.0},
                         {"channels", std::uint32_t{2}}};
    EXPECT_EQ(serializeResult(completeLine(metrics)),
              R"({"metrics":{"channels":2,"duration_seconds":10,"has_signal":true,"peak_dbfs":0,)"
              R"("rms_dbfs":-3,"sample_rate":48000,"waveform":[0.5]},"type":"complete"})");
}

TEST(Escaping, SolidusQuotesBackslashAndControlCharacters) {
    EXPECT_EQ(serializeResult(errorLine("/tmp/a b/\"x\"\\y")),
              R"({"error":"\/tmp\/a b\/\"x\"\\y"})");
    EXPECT_EQ(serializeResult(errorLine("one\ntwo")), R"({"error":"one\ntwo"})");
    EXPECT_EQ(serializeResult(errorLine(std::string("\t\r\b\f\x01\x1f\x7f", 7))),
              R"({"error":"\t\r\b\f\u0001\u001f)"
              "\x7f"
              R"("})");
    EXPECT_EQ(serializeResult(errorLine(std::string("a\0b", 3))), R"({"error":"a\u0000b"})");
    EXPECT_EQ(serializeResult(errorLine("x")).find('\n'), std::string::npos);
}

TEST(Escaping, NonAsciiIsRawUtf8AndInvalidBytesBecomeReplacementCharacters) {
    EXPECT_EQ(serializeResult(errorLine("couldn\u2019t \u00e9t\u00e9 \U0001F3B5")),
              "{\"error\":\"couldn\u2019t \u00e9t\u00e9 \U0001F3B5\"}");
    const std::string fffd = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"a\xFF"
         "b",
         "a" + fffd + "b"},  // never a lead byte
        {"a\x80"
         "b",
         "a" + fffd + "b"},  // stray continuation
        {"\xC3", fffd},      // truncated at the end
        {"\xE2\x80"
         "x",
         fffd + "x"},                          // truncated three-byte sequence: one U+FFFD
        {"\xC0\xAF", fffd + fffd},             // overlong solidus stays two errors
        {"\xED\xA0\x80", fffd + fffd + fffd},  // surrogate
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // beyond U+10FFFF
        {"\xF0\x9F\x8E", fffd},                           // truncated four-byte sequence
    };
    for (const auto& [raw, printed] : cases) {
        const std::string line = serializeResult(errorLine(raw));
        EXPECT_EQ(line, "{\"error\":\"" + printed + "\"}");
        EXPECT_TRUE(nlohmann::json::accept(line)) << line;
    }
}

TEST(Numbers, ReadBackToTheSameBitsThroughAJsonParser) {
    std::mt19937_64 random(7);
    std::vector<double> doubles{0.0,
                                48000.0,
                                -6.020599913279624,
                                6.020599913279624,
                                -180.0,
                                1e-9,
                                0.1,
                                1.0 / 3.0,
                                5e-324,
                                std::numeric_limits<double>::max(),
                                -std::numeric_limits<double>::min()};
    std::vector<float> floats{0.0f,
                              0.5f,
                              1.0f,
                              2.0f,
                              9.99999974737875e-05f,
                              1e-10f,
                              std::numeric_limits<float>::denorm_min(),
                              std::numeric_limits<float>::max()};
    for (int i = 0; i < 2000; ++i) {
        doubles.push_back(
            bitsAs<double>((random() & ~(0x7FFull << 52)) | ((random() % 0x7FE) << 52)));
        floats.push_back(bitsAs<float>(static_cast<std::uint32_t>(random()) & 0x7F7FFFFF));
    }
    // Fixed-width keys keep the members in the order of the values.
    const auto key = [](std::size_t i) { return std::to_string(100000 + i); };
    ResultObject object;
    for (std::size_t i = 0; i < doubles.size(); ++i) object.entries[key(i)] = doubles[i];
    object.entries["w"] = floats;
    object.entries["c"] = std::uint32_t{4294967295u};

    const auto parsed = nlohmann::json::parse(serializeResult(object));
    for (std::size_t i = 0; i < doubles.size(); ++i) {
        const double back = parsed[key(i)].get<double>();
        EXPECT_EQ(bitsAs<std::uint64_t>(back), bitsAs<std::uint64_t>(doubles[i])) << doubles[i];
    }
    const auto& waveform = parsed["w"];
    ASSERT_EQ(waveform.size(), floats.size());
    for (std::size_t i = 0; i < floats.size(); ++i) {
        const float back = static_cast<float>(waveform[i].get<double>());
        EXPECT_EQ(bitsAs<std::uint32_t>(back), bitsAs<std::uint32_t>(floats[i])) << floats[i];
    }
    EXPECT_EQ(parsed["c"].get<std::uint64_t>(), 4294967295u);
    EXPECT_TRUE(parsed["c"].is_number_integer());
}

TEST(Numbers, NonFiniteValuesPrintAsNullSoTheLineStillParses) {
    ResultObject object{{"a", std::numeric_limits<double>::infinity()},
                        {"b", std::nan("")},
                        {"c", std::vector<float>{-std::numeric_limits<float>::infinity(), 1.0f}}};
    const std::string line = serializeResult(object);
    EXPECT_EQ(line, R"({"a":null,"b":null,"c":[null,1]})");
    EXPECT_TRUE(nlohmann::json::accept(line));
}

TEST(Emit, WritesOneLineThroughTheLineWriter) {
    std::vector<std::string> written;
    auto previous = replaceLineWriter([&](std::string_view line) { written.emplace_back(line); });
    emit(permissionRequestLine(true));
    replaceLineWriter(std::move(previous));
    EXPECT_EQ(written, std::vector<std::string>{R"({"authorized":true})"});
}

}  // namespace
}  // namespace sorvanel
