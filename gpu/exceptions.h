#pragma once

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "sdk/d3d12_headers.h"

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

namespace Orfa {

// The one check of a Direct3D 12 or DXGI result: a failure throws `Failure`.
// Calls on textures, staging buffers and command objects throw the default,
// Exception::Device::Error with the result as its code and the operation
// ("create texture"); the device object's own steps throw std::runtime_error
// with their message ("Cannot create fence").
template <class Failure = Exception::Device::Error>
void ThrowIfFailed(HRESULT result, const char* message) {
    if (!FAILED(result)) return;
    if constexpr (std::is_same_v<Failure, Exception::Device::Error>) {
        throw Failure(static_cast<uint32_t>(result), message);
    } else {
        throw Failure(message);
    }
}

// Gives a GPU object its wide debug name.
template <class Object>
void SetDebugName(Object* object, const wchar_t* name) {
    ThrowIfFailed(object->SetName(name), "set debug name");
}

}  // namespace Orfa
