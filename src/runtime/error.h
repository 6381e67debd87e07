#pragma once

#include <exception>
#include <string>

namespace sorvanel {

// The tool's one error domain; platform errors keep their own.
inline constexpr const char* kErrorDomain = "SorvanelAudio";

// Codes of the tool's own errors, all of them here.
enum ErrorCode : int {
    kNoAudioBuffersErrorCode = 2,    // the sink's: no audio buffer ever started the writer
    kNoReadBufferErrorCode = 3,      // the metrics': no buffer to read the file into
    kUnexpectedErrorCode = 10,       // an exception that is not an Error
    kNoAnswerErrorCode = 11,         // a platform dropped a completion without calling it
    kNoContentErrorCode = 12,        // the content query answered with neither content nor error
    kInterruptedErrorCode = 13,      // a signal ended the recording
    kInvalidArgumentErrorCode = 14,  // a platform call given what it cannot take
};

// Errors travel as exceptions through the coroutines and are shown only by their description.
class Error : public std::exception {
  public:
    Error(std::string domain, int code, std::string description)
        : domain_(std::move(domain)), code_(code), description_(std::move(description)) {}

    // An error that carries no description of its own gets the generic one.
    static Error withoutDescription(std::string domain, int code) {
        std::string text = "The operation couldn\u2019t be completed. (" + domain + " error " +
                           std::to_string(code) + ".)";
        return Error(std::move(domain), code, std::move(text));
    }

    const std::string& domain() const noexcept { return domain_; }
    int code() const noexcept { return code_; }
    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    friend bool operator==(const Error& a, const Error& b) {
        return a.domain_ == b.domain_ && a.code_ == b.code_ && a.description_ == b.description_;
    }

  private:
    std::string domain_;
    int code_;
    std::string description_;
};

// Any caught exception as an Error: an Error unchanged, anything else in the tool's domain, so
// that no failure goes without a description.
inline Error errorFrom(std::exception_ptr exception) {
    try {
        std::rethrow_exception(exception);
    } catch (const Error& error) {
        return error;
    } catch (const std::exception& other) {
        return Error(kErrorDomain, kUnexpectedErrorCode, other.what());
    } catch (...) {
        return Error(kErrorDomain, kUnexpectedErrorCode, "An unexpected error occurred.");
    }
}

}  // namespace sorvanel
