#pragma once

#import <Foundation/Foundation.h>

#include <string>
#include <utility>

#include "runtime/error.h"

namespace sorvanel {

// Text of an NSString; nil or text that has no UTF-8 form gives "".
std::string stringFrom(NSString* text);

// fileURLWithPath: a file URL for the path, relative to the working directory unless absolute.
// Throws when the path is not UTF-8 text, which no path on macOS is.
NSURL* fileURLFor(const std::string& path);

// A platform error as the core carries it: its domain, code and localizedDescription, unchanged.
// nil (a call that failed without saying why) becomes an error of the tool's own.
Error errorFrom(NSError* error);

// An error of the tool's own domain, made as a real NSError so that Foundation words it: with no
// description, its localizedDescription is the platform's generic text for domain and code.
NSError* toolNSError(int code, NSString* description);
Error toolError(int code, NSString* description);

// Runs `call`, turning an Objective-C exception that the frameworks raise for a broken contract
// into an Error, so that it travels like every other failure.
template <class Call>
decltype(auto) withoutObjCExceptions(Call&& call) {
    @try {
        return std::forward<Call>(call)();
    } @catch (NSException* exception) {
        throw toolError(kUnexpectedErrorCode, exception.reason ? exception.reason : exception.name);
    }
}

}  // namespace sorvanel
