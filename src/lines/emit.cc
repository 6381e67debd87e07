#include "lines/emit.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <future>
#include <type_traits>
#include <utility>

#include "lines/number_text.h"
#include "runtime/process.h"

namespace sorvanel {
namespace {

// Length of the well-formed UTF-8 sequence at `i`, or the negated length of the maximal ill-formed
// subpart there, which becomes one U+FFFD.
int utf8Sequence(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    int needed;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        needed = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        needed = 2;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        needed = 3;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return -1;
    }
    int taken = 1;
    for (int k = 0; k < needed; ++k, ++taken) {
        if (i + taken >= s.size()) return -taken;
        const unsigned char next = byte(i + taken);
        if (next < low || next > high) return -taken;
        low = 0x80;
        high = 0xBF;
    }
    return taken;
}

void appendString(std::string& out, std::string_view s) {
    out += '"';
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            const int n = utf8Sequence(s, i);
            if (n > 0) {
                out.append(s.substr(i, n));
                i += n;
            } else {
                out += "\xEF\xBF\xBD";
                i += -n;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '/':
                out += "\\/";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (c < 0x20) {
                    static constexpr char hex[] = "0123456789abcdef";
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 0xF];
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    out += '"';
}

void appendNumber(std::string& out, double value) {
    out += std::isfinite(value) ? shortestText(value) : "null";
}

void appendNumber(std::string& out, float value) {
    out += std::isfinite(value) ? shortestText(value) : "null";
}

void appendNumber(std::string& out, std::uint32_t value) {
    char text[16];
    const auto result = std::to_chars(text, text + sizeof text, value);
    out.append(text, result.ptr);
}

void appendObject(std::string& out, const ResultObject& object);

void appendValue(std::string& out, const ResultValue& value) {
    std::visit(
        [&](const auto& v) {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, bool>) {
                out += v ? "true" : "false";
            } else if constexpr (std::is_same_v<V, std::string>) {
                appendString(out, v);
            } else if constexpr (std::is_same_v<V, double> || std::is_same_v<V, std::uint32_t>) {
                appendNumber(out, v);
            } else if constexpr (std::is_same_v<V, std::vector<std::string>> ||
                                 std::is_same_v<V, std::vector<float>>) {
                out += '[';
                for (std::size_t i = 0; i < v.size(); ++i) {
                    if (i) out += ',';
                    if constexpr (std::is_same_v<V, std::vector<float>>)
                        appendNumber(out, v[i]);
                    else
                        appendString(out, v[i]);
                }
                out += ']';
            } else {
                appendObject(out, *v);
            }
        },
        value);
}

void appendObject(std::string& out, const ResultObject& object) {
    out += '{';
    bool first = true;
    for (const auto& [key, value] : object.entries) {
        if (!first) out += ',';
        first = false;
        appendString(out, key);
        out += ':';
        appendValue(out, value);
    }
    out += '}';
}

void writeLine(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::shared_ptr<SerialQueue>& outputQueue() {
    static std::shared_ptr<SerialQueue> queue;
    return queue;
}

std::function<void(std::string_view)>& lineWriter() {
    static std::function<void(std::string_view)> writer = [](std::string_view line) {
        if (const auto& queue = outputQueue())
            queue->post([text = std::string(line)] { writeLine(text); });
        else
            writeLine(line);
    };
    return writer;
}

}  // namespace

std::string serializeResult(const ResultObject& object) {
    std::string out;
    appendObject(out, object);
    return out;
}

void emit(const ResultObject& object) {
    lineWriter()(serializeResult(object));
}

void writeLinesOn(std::shared_ptr<SerialQueue> queue) {
    outputQueue() = queue;
    if (!queue) return setOutputBarrier(nullptr);
    setOutputBarrier([queue] {
        std::promise<void> written;
        queue->post([&written] { written.set_value(); });
        written.get_future().wait();
    });
}

std::function<void(std::string_view)> replaceLineWriter(
    std::function<void(std::string_view)> writer) {
    return std::exchange(lineWriter(), std::move(writer));
}

}  // namespace sorvanel
