#pragma once

#include "QuilloraCore/Diagnostics.h"

#include <fstream>
#include <sstream>
#include <string>

// The part of this process's diagnostics log written since the object was made.
class LogSince {
public:
    LogSince() {
        Diagnostics::flush();
        std::error_code error;
        start_ = std::filesystem::file_size(Diagnostics::fileURL(), error);
        start_ = error ? 0 : start_;
    }
    std::string text() const {
        Diagnostics::flush();
        std::ifstream in(Diagnostics::fileURL());
        in.seekg(static_cast<std::streamoff>(start_));
        std::stringstream rest;
        rest << in.rdbuf();
        return rest.str();
    }
    // How many times `what` occurs in it.
    std::size_t count(const std::string& what) const {
        const std::string all = text();
        std::size_t found = 0;
        for (auto at = all.find(what); at != std::string::npos; at = all.find(what, at + what.size())) {
            ++found;
        }
        return found;
    }

private:
    std::uintmax_t start_ = 0;
};
