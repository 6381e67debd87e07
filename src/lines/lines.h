#pragma once

#include <string>
#include <vector>

#include "lines/result.h"

namespace sorvanel {

// Exit statuses, each printed right after the line that explains it.
enum ExitStatus : int {
    kStatusDone = 0,
    kStatusRunFailed = 1,
    kStatusUsage = 2,
    kStatusPermissionRequired = 3,
    kStatusNoSource = 4,
};

inline constexpr const char* kCaptureSource = "Ableton Live application audio";
inline constexpr const char* kSourceName = "Ableton Live";

ResultObject checkLine(bool authorized);
ResultObject permissionRequestLine(bool authorized);
ResultObject usageLine();
ResultObject permissionRequiredLine();
ResultObject noSourceLine();
ResultObject readyLine(std::vector<std::string> applications);
ResultObject completeLine(ResultObject metrics);
ResultObject errorLine(std::string description);

}  // namespace sorvanel
