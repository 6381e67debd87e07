#pragma once

#include <exception>
#include <string>

namespace sorvanel {

// The tool's one error domain; platform errors keep their own.
inline constexpr const char* kErrorDomain = "SorvanelAudio";

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

}  // namespace sorvanel
