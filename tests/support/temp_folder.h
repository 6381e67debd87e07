#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace sorvanel::testing {

// A folder of the test's own under /tmp, removed with everything in it when the test ends.
class TempFolder {
  public:
    TempFolder() {
        std::string name = "/tmp/sorvanel-test-XXXXXX";
        path_ = ::mkdtemp(name.data());
    }
    ~TempFolder() { std::filesystem::remove_all(path_); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace sorvanel::testing
