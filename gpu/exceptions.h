#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace Orfa::Exception {

// A failed call on a GPU object; `code` is the call's HRESULT.
class Device : public std::exception {
public:
    Device(uint32_t result, const std::string& message) : code(result), text_("ERROR: " + message) {}
    const char* what() const noexcept override { return text_.c_str(); }

    uint32_t code;

    class Error;

private:
    std::string text_;
};

class Device::Error : public Device {
public:
    using Device::Device;
};

class InvalidArg : public std::exception {
public:
    explicit InvalidArg(const std::string& message) : text_("ERROR: " + message) {}
    const char* what() const noexcept override { return text_.c_str(); }

private:
    std::string text_;
};

}  // namespace Orfa::Exception
