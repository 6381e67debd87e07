#include "lines/lines.h"

namespace sorvanel {

ResultObject checkLine(bool authorized) {
    return {{"authorized", authorized}, {"capture_source", std::string(kCaptureSource)}};
}

ResultObject permissionRequestLine(bool authorized) {
    return {{"authorized", authorized}};
}

ResultObject usageLine() {
    return {{"error", std::string("Usage: SorvanelAudio output.m4a duration_seconds")}};
}

ResultObject permissionRequiredLine() {
    return {{"error", std::string("macOS audio-capture permission is required.")},
            {"permission_required", true}};
}

ResultObject noSourceLine() {
    return {{"error", std::string("Ableton Live must be open on an active display.")}};
}

ResultObject readyLine(std::vector<std::string> applications) {
    return {{"type", std::string("ready")},
            {"source", std::string(kSourceName)},
            {"applications", std::move(applications)}};
}

ResultObject completeLine(ResultObject metrics) {
    return {{"type", std::string("complete")}, {"metrics", nested(std::move(metrics))}};
}

ResultObject errorLine(std::string description) {
    return {{"error", std::move(description)}};
}

}  // namespace sorvanel
