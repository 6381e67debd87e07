#include "platform/apple/foundation_bridge.h"

namespace sorvanel {

std::string stringFrom(NSString* text) {
    // UTF8String: autoreleased storage, valid until the surrounding pool drains; copied here.
    const char* bytes = text.UTF8String;
    return bytes ? std::string(bytes) : std::string();
}

NSURL* fileURLFor(const std::string& path) {
    // stringWithUTF8String: nil when the bytes are not UTF-8.
    NSString* text = [NSString stringWithUTF8String:path.c_str()];
    if (!text) throw toolError(kUnexpectedErrorCode, @"The path is not UTF-8 text.");
    // fileURLWithPath: never nil for a string; a relative path resolves against the working
    // directory now.
    return [NSURL fileURLWithPath:text];
}

Error errorFrom(NSError* error) {
    if (!error)
        return toolError(kUnexpectedErrorCode, @"The system reported a failure without an error.");
    return Error(stringFrom(error.domain), static_cast<int>(error.code),
                 stringFrom(error.localizedDescription));
}

NSError* toolNSError(int code, NSString* description) {
    NSString* domain = [NSString stringWithUTF8String:kErrorDomain];
    NSDictionary<NSErrorUserInfoKey, id>* userInfo =
        description ? @{NSLocalizedDescriptionKey : description} : nil;
    return [[NSError alloc] initWithDomain:domain code:code userInfo:userInfo];
}

Error toolError(int code, NSString* description) {
    return errorFrom(toolNSError(code, description));
}

}  // namespace sorvanel
